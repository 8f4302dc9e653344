// SPDX-License-Identifier: Apache-2.0
// The sixteen states of an IEEE 1149.1 TAP controller, numbered in the standard's order (the same
// numbers the plug-in uses for its own state codes, so tests can compare the two directly).
#pragma once

#include <cstdint>

namespace quorbit {

enum class TapState : std::uint8_t {
    TestLogicReset = 0,
    RunTestIdle = 1,
    SelectDrScan = 2,
    CaptureDr = 3,
    ShiftDr = 4,
    Exit1Dr = 5,
    PauseDr = 6,
    Exit2Dr = 7,
    UpdateDr = 8,
    SelectIrScan = 9,
    CaptureIr = 10,
    ShiftIr = 11,
    Exit1Ir = 12,
    PauseIr = 13,
    Exit2Ir = 14,
    UpdateIr = 15,
};

constexpr int kTapStateCount = 16;

// The state after one rising TCK edge with the given TMS level.
TapState nextTapState(TapState state, bool tms);

// The standard's name of a state, e.g. "Run-Test/Idle"; "?" for a value outside the sixteen.
const char* tapStateName(TapState state);

}  // namespace quorbit
