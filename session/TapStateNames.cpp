// SPDX-License-Identifier: Apache-2.0
// The TAP states by the names users type, and the one name printed for each.
#include <cctype>

#include "session/CableSession.h"

namespace csesession {
namespace {

constexpr uint32_t kStateCount = 16;

const char* const kStateNames[kStateCount] = {
    "TEST_LOGIC_RESET", "RUN_TEST_IDLE",  "SELECT_DR_SCAN", "CAPTURE_DR",
    "SHIFT_DR",         "EXIT1_DR",       "PAUSE_DR",       "EXIT2_DR",
    "UPDATE_DR",        "SELECT_IR_SCAN", "CAPTURE_IR",     "SHIFT_IR",
    "EXIT1_IR",         "PAUSE_IR",       "EXIT2_IR",       "UPDATE_IR"};

// The names OpenOCD and SVF give the same states (both use these); "RUN/IDLE" is OpenOCD's own.
const char* const kOpenOcdStateNames[kStateCount] = {
    "RESET",    "IDLE",     "DRSELECT",  "DRCAPTURE", "DRSHIFT", "DREXIT1", "DRPAUSE", "DREXIT2",
    "DRUPDATE", "IRSELECT", "IRCAPTURE", "IRSHIFT",   "IREXIT1", "IRPAUSE", "IREXIT2", "IRUPDATE"};

}  // namespace

std::optional<CsePluginInterface::CseJtagTapState> parseTapState(const std::string& text) {
    std::string name;
    for (char c : text) {
        const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        name += (upper == '-' || upper == '/') ? '_' : upper;
    }
    if (name.compare(0, 8, "CSEJTAG_") == 0) name.erase(0, 8);
    if (name == "RUN_IDLE") name = "IDLE";
    for (uint32_t i = 0; i < kStateCount; ++i) {
        if (name == kStateNames[i] || name == kOpenOcdStateNames[i]) {
            return static_cast<CsePluginInterface::CseJtagTapState>(i);
        }
    }
    return std::nullopt;
}

std::string tapStateName(CsePluginInterface::CseJtagTapState state) {
    const auto index = static_cast<uint32_t>(state);
    return index < kStateCount ? kStateNames[index] : "?";
}

}  // namespace csesession
