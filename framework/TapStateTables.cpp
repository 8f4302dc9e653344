// SPDX-License-Identifier: Apache-2.0
#include "framework/TapStateTables.h"

#include <array>
#include <cstdio>

namespace CsePluginInterface {
namespace {

using StateRow = std::array<uint8_t, kTapStateCount>;

constexpr std::array<const char*, kTapStateCount> kStateNames = {
    "CSEJTAG_TEST_LOGIC_RESET", "CSEJTAG_RUN_TEST_IDLE", "CSEJTAG_SELECT_DR_SCAN",
    "CSEJTAG_CAPTURE_DR",       "CSEJTAG_SHIFT_DR",      "CSEJTAG_EXIT1_DR",
    "CSEJTAG_PAUSE_DR",         "CSEJTAG_EXIT2_DR",      "CSEJTAG_UPDATE_DR",
    "CSEJTAG_SELECT_IR_SCAN",   "CSEJTAG_CAPTURE_IR",    "CSEJTAG_SHIFT_IR",
    "CSEJTAG_EXIT1_IR",         "CSEJTAG_PAUSE_IR",      "CSEJTAG_EXIT2_IR",
    "CSEJTAG_UPDATE_IR",
};

// IEEE 1149.1 state diagram: next state for TMS 0 and TMS 1.
constexpr std::array<std::array<uint8_t, 2>, kTapStateCount> kNextState = {{
    {1, 0},    // Test-Logic-Reset
    {1, 2},    // Run-Test/Idle
    {3, 9},    // Select-DR-Scan
    {4, 5},    // Capture-DR
    {4, 5},    // Shift-DR
    {6, 8},    // Exit1-DR
    {6, 7},    // Pause-DR
    {4, 8},    // Exit2-DR
    {1, 2},    // Update-DR
    {10, 0},   // Select-IR-Scan
    {11, 12},  // Capture-IR
    {11, 12},  // Shift-IR
    {13, 15},  // Exit1-IR
    {13, 14},  // Pause-IR
    {11, 15},  // Exit2-IR
    {1, 2},    // Update-IR
}};

// Row = from, column = to; first TMS clock in bit 0. Five ones to Test-Logic-Reset; elsewhere the
// shortest walk that avoids Test-Logic-Reset, never lingers in Shift/Pause and enters Shift only
// from Capture.
constexpr std::array<StateRow, kTapStateCount> kTmsPathBits = {{
    {0x1F, 0x00, 0x02, 0x02, 0x02, 0x0A, 0x0A, 0x2A, 0x1A, 0x06, 0x06, 0x06, 0x16, 0x16, 0x56,
     0x36},
    {0x1F, 0x00, 0x01, 0x01, 0x01, 0x05, 0x05, 0x15, 0x0D, 0x03, 0x03, 0x03, 0x0B, 0x0B, 0x2B,
     0x1B},
    {0x1F, 0x06, 0x0E, 0x00, 0x00, 0x02, 0x02, 0x0A, 0x06, 0x01, 0x01, 0x01, 0x05, 0x05, 0x15,
     0x0D},
    {0x1F, 0x03, 0x07, 0x07, 0x00, 0x01, 0x01, 0x05, 0x03, 0x0F, 0x0F, 0x0F, 0x2F, 0x2F, 0xAF,
     0x6F},
    {0x1F, 0x03, 0x07, 0x07, 0x07, 0x01, 0x01, 0x05, 0x03, 0x0F, 0x0F, 0x0F, 0x2F, 0x2F, 0xAF,
     0x6F},
    {0x1F, 0x01, 0x03, 0x03, 0x03, 0x0B, 0x00, 0x02, 0x01, 0x07, 0x07, 0x07, 0x17, 0x17, 0x57,
     0x37},
    {0x1F, 0x03, 0x07, 0x07, 0x07, 0x17, 0x17, 0x01, 0x03, 0x0F, 0x0F, 0x0F, 0x2F, 0x2F, 0xAF,
     0x6F},
    {0x1F, 0x01, 0x03, 0x03, 0x03, 0x0B, 0x0B, 0x2B, 0x01, 0x07, 0x07, 0x07, 0x17, 0x17, 0x57,
     0x37},
    {0x1F, 0x00, 0x01, 0x01, 0x01, 0x05, 0x05, 0x15, 0x0D, 0x03, 0x03, 0x03, 0x0B, 0x0B, 0x2B,
     0x1B},
    {0x1F, 0x06, 0x0E, 0x0E, 0x0E, 0x2E, 0x2E, 0xAE, 0x6E, 0x1E, 0x00, 0x00, 0x02, 0x02, 0x0A,
     0x06},
    {0x1F, 0x03, 0x07, 0x07, 0x07, 0x17, 0x17, 0x57, 0x37, 0x0F, 0x0F, 0x00, 0x01, 0x01, 0x05,
     0x03},
    {0x1F, 0x03, 0x07, 0x07, 0x07, 0x17, 0x17, 0x57, 0x37, 0x0F, 0x0F, 0x0F, 0x01, 0x01, 0x05,
     0x03},
    {0x1F, 0x01, 0x03, 0x03, 0x03, 0x0B, 0x0B, 0x2B, 0x1B, 0x07, 0x07, 0x07, 0x17, 0x00, 0x02,
     0x01},
    {0x1F, 0x03, 0x07, 0x07, 0x07, 0x17, 0x17, 0x57, 0x37, 0x0F, 0x0F, 0x0F, 0x2F, 0x2F, 0x01,
     0x03},
    {0x1F, 0x01, 0x03, 0x03, 0x03, 0x0B, 0x0B, 0x2B, 0x1B, 0x07, 0x07, 0x07, 0x17, 0x17, 0x57,
     0x01},
    {0x1F, 0x00, 0x01, 0x01, 0x01, 0x05, 0x05, 0x15, 0x0D, 0x03, 0x03, 0x03, 0x0B, 0x0B, 0x2B,
     0x1B},
}};

constexpr std::array<StateRow, kTapStateCount> kTmsPathLength = {{
    {5, 1, 2, 3, 4, 4, 5, 6, 5, 3, 4, 5, 5, 6, 7, 6},
    {5, 1, 1, 2, 3, 3, 4, 5, 4, 2, 3, 4, 4, 5, 6, 5},
    {5, 4, 4, 1, 2, 2, 3, 4, 3, 1, 2, 3, 3, 4, 5, 4},
    {5, 3, 3, 4, 1, 1, 2, 3, 2, 4, 5, 6, 6, 7, 8, 7},
    {5, 3, 3, 4, 5, 1, 2, 3, 2, 4, 5, 6, 6, 7, 8, 7},
    {5, 2, 2, 3, 4, 4, 1, 2, 1, 3, 4, 5, 5, 6, 7, 6},
    {5, 3, 3, 4, 5, 5, 6, 1, 2, 4, 5, 6, 6, 7, 8, 7},
    {5, 2, 2, 3, 4, 4, 5, 6, 1, 3, 4, 5, 5, 6, 7, 6},
    {5, 1, 1, 2, 3, 3, 4, 5, 4, 2, 3, 4, 4, 5, 6, 5},
    {5, 4, 4, 5, 6, 6, 7, 8, 7, 5, 1, 2, 2, 3, 4, 3},
    {5, 3, 3, 4, 5, 5, 6, 7, 6, 4, 5, 1, 1, 2, 3, 2},
    {5, 3, 3, 4, 5, 5, 6, 7, 6, 4, 5, 6, 1, 2, 3, 2},
    {5, 2, 2, 3, 4, 4, 5, 6, 5, 3, 4, 5, 5, 1, 2, 1},
    {5, 3, 3, 4, 5, 5, 6, 7, 6, 4, 5, 6, 6, 7, 1, 2},
    {5, 2, 2, 3, 4, 4, 5, 6, 5, 3, 4, 5, 5, 6, 7, 1},
    {5, 1, 1, 2, 3, 3, 4, 5, 4, 2, 3, 4, 4, 5, 6, 5},
}};

// A pattern byte holds at most 8 clocks; no entry may claim more, and none may be empty.
constexpr bool pathLengthsFitPattern() {
    for (const StateRow& row : kTmsPathLength) {
        for (uint8_t length : row) {
            if (length < 1 || length > 8) return false;
        }
    }
    return true;
}
static_assert(pathLengthsFitPattern(), "TMS path lengths must be 1..8 clocks");

}  // namespace

const char* stateName(CseJtagTapState state) noexcept {
    return isValidTapState(state) ? kStateNames[state] : nullptr;
}

CseJtagTapState nextTapState(CseJtagTapState state, bool tms) noexcept {
    if (!isValidTapState(state)) return state;
    return static_cast<CseJtagTapState>(kNextState[state][tms ? 1 : 0]);
}

uint8_t tmsPathBits(CseJtagTapState from, CseJtagTapState to) noexcept {
    if (!isValidTapState(from) || !isValidTapState(to)) return 0;
    return kTmsPathBits[from][to];
}

uint32_t tmsPathLength(CseJtagTapState from, CseJtagTapState to) noexcept {
    if (!isValidTapState(from) || !isValidTapState(to)) return 0;
    return kTmsPathLength[from][to];
}

TapStateLabel::TapStateLabel(CseJtagTapState state) noexcept {
    // The static name itself: this runs twice per navigation, whether logged or not.
    const char* name = stateName(state);
    if (name != nullptr) {
        text_ = name;
    } else {
        std::snprintf(invalid_, sizeof invalid_, "CSEJTAG_INVALID_STATE(%u)",
                      static_cast<unsigned>(state));
    }
}

}  // namespace CsePluginInterface
