// SPDX-License-Identifier: Apache-2.0
#include "session/TdoProbe.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace csesession {
namespace {

// Longer than the DR path of the longest chain a scan accepts (254 devices of 32-bit IDCODEs), so
// that the ones come out of any working chain after its IDCODEs and zeros.
constexpr uint32_t kHalfBits = 8192;

}  // namespace

std::string stuckTdoReason(CsePluginInterface::ICsePlugin& plugin) {
    using CsePluginInterface::CSE_SUCCESS;
    using CsePluginInterface::CSEJTAG_RUN_TEST_IDLE;
    std::vector<uint8_t> tdi(2 * kHalfBits / 8, 0);
    std::fill(tdi.begin() + kHalfBits / 8, tdi.end(), uint8_t{0xFF});
    std::vector<uint8_t> tdo(tdi.size(), 0);
    if (plugin.shiftChainDR(tdi.data(), tdo.data(), nullptr, nullptr, 2 * kHalfBits,
                            CSEJTAG_RUN_TEST_IDLE, 0, 0) != CSE_SUCCESS) {
        return "";
    }
    const char* level = nullptr;
    if (tdo == std::vector<uint8_t>(tdo.size(), 0)) level = "0";
    if (tdo == std::vector<uint8_t>(tdo.size(), 0xFF)) level = "1";
    const std::string advice = ": the chain cannot be scanned (run 'diagnose' for the details)";
    if (tdo == tdi) {
        return "TDO follows TDI on the same clock (the two lines shorted, or TDI wired to TDO)" +
               advice;
    }
    if (level == nullptr) return "";
    return std::string("TDO reads ") + level + " on every clock (the line is stuck at " + level +
           (*level == '0' ? ", shorted to ground, or no target on the cable"
                          : ", the chain is open before TDO, or the target has no power") +
           ")" + advice;
}

}  // namespace csesession
