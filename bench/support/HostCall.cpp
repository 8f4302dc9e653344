// SPDX-License-Identifier: Apache-2.0
#include "support/HostCall.h"

#include "BenchRegistry.h"
#include "sim/QuorbitSim.h"

namespace krvbench {
namespace {

using namespace CsePluginInterface;

// The middle device of the demo chain: it has an IDCODE and devices on both sides.
constexpr uint32_t kMiddleDevice = 1;
constexpr int kMaxDelayBits = 8;
constexpr uint32_t kNavigationClocks = 10;

bool bitAt(const std::vector<uint8_t>& bytes, uint32_t bit) {
    return ((bytes[bit / 8] >> (bit % 8)) & 1u) != 0;
}

uint32_t idcodeOf(const std::vector<uint8_t>& bytes) {
    return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

}  // namespace

int delayOf(const std::vector<uint8_t>& in, const std::vector<uint8_t>& out, uint32_t bitCount) {
    for (int delay = 0; delay <= kMaxDelayBits && static_cast<uint32_t>(delay) < bitCount;
         ++delay) {
        bool repeats = true;
        for (uint32_t bit = 0; repeats && bit + static_cast<uint32_t>(delay) < bitCount; ++bit) {
            repeats = bitAt(in, bit) == bitAt(out, bit + static_cast<uint32_t>(delay));
        }
        if (repeats) return delay;
    }
    return -1;
}

bool HostCall::selectInstruction(CsePlugin& plugin, bool bypass) {
    const quorbit::DeviceDescription device = quorbit::defaultDemoChain().devices[kMiddleDevice];
    const uint64_t opcode = bypass ? (uint64_t{1} << device.irLength) - 1 : device.idcodeOpcode;
    std::vector<uint8_t> bits(8, 0);
    for (size_t i = 0; i < bits.size(); ++i) bits[i] = static_cast<uint8_t>(opcode >> (8 * i));
    // The other devices are padded with ones, so they are in BYPASS in either case.
    return plugin.writeDeviceIR(kMiddleDevice, bits.data(), nullptr, device.irLength,
                                CSEJTAG_RUN_TEST_IDLE, 0, 0) == CSE_SUCCESS;
}

bool HostCall::prepare(CsePlugin& plugin, std::string& error) {
    const size_t bytes = (setup_.bitCount + 7u) / 8u;
    tdi_ = patternBytes(bytes, setup_.bitCount);
    tdo_.assign(bytes, 0);
    const bool bypass = setup_.kind != CallKind::IdcodeRead;
    const bool navigation =
        setup_.kind == CallKind::Navigate || setup_.kind == CallKind::NavigateClocks;
    if (!navigation && !selectInstruction(plugin, bypass)) {
        error = "writeDeviceIR failed";
        return false;
    }
    if (!(*this)(plugin)) {
        error = "the host call failed";
        return false;
    }
    return checkResult(error);
}

bool HostCall::checkResult(std::string& error) const {
    switch (setup_.kind) {
        case CallKind::Navigate:
        case CallKind::NavigateClocks:
            return true;
        case CallKind::IdcodeRead: {
            const uint32_t expected = *quorbit::defaultDemoChain().devices[kMiddleDevice].idcode;
            if (idcodeOf(tdo_) == expected) return true;
            error = "IDCODE read gave " + std::to_string(idcodeOf(tdo_));
            return false;
        }
        case CallKind::ChainDR:
        case CallKind::DeviceDR:
            if (delayOf(tdi_, tdo_, setup_.bitCount) >= 0) return true;
            error = "the TDO bits do not repeat the TDI bits through the BYPASS registers";
            return false;
    }
    return false;
}

bool HostCall::operator()(CsePlugin& plugin) {
    ++callsMade_;
    switch (setup_.kind) {
        case CallKind::ChainDR:
            return plugin.shiftChainDR(tdi_.data(), tdo_.data(), nullptr, nullptr, setup_.bitCount,
                                       CSEJTAG_RUN_TEST_IDLE, 0, 0) == CSE_SUCCESS;
        case CallKind::Navigate:
        case CallKind::NavigateClocks:
            towardsPause_ = !towardsPause_;
            return plugin.navigateTAP(towardsPause_ ? CSEJTAG_PAUSE_DR : CSEJTAG_RUN_TEST_IDLE,
                                      setup_.kind == CallKind::NavigateClocks ? kNavigationClocks
                                                                              : 0) == CSE_SUCCESS;
        case CallKind::IdcodeRead:
            return plugin.readDeviceDR(kMiddleDevice, false, tdo_.data(), nullptr, 32,
                                       CSEJTAG_RUN_TEST_IDLE, 0, 0) == CSE_SUCCESS;
        case CallKind::DeviceDR:
            return plugin.shiftDeviceDR(kMiddleDevice, tdi_.data(), tdo_.data(), nullptr, nullptr,
                                        setup_.bitCount, CSEJTAG_RUN_TEST_IDLE, 0,
                                        0) == CSE_SUCCESS;
    }
    return false;
}

}  // namespace krvbench
