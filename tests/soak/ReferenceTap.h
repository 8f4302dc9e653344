// SPDX-License-Identifier: Apache-2.0
// The soak's own TAP controller model: the sixteen states in the standard's numbering, the
// transition on one clock and the shortest TMS walk between two states. Written apart from the
// emulator and from the plug-in, so that a mistake in either shows up as a mismatch.
#pragma once

#include <cstdint>
#include <vector>

namespace soak {

enum class Tap : uint8_t {
    Reset = 0,
    Idle = 1,
    SelectDr = 2,
    CaptureDr = 3,
    ShiftDr = 4,
    Exit1Dr = 5,
    PauseDr = 6,
    Exit2Dr = 7,
    UpdateDr = 8,
    SelectIr = 9,
    CaptureIr = 10,
    ShiftIr = 11,
    Exit1Ir = 12,
    PauseIr = 13,
    Exit2Ir = 14,
    UpdateIr = 15,
};

constexpr unsigned kTapStates = 16;

// The state after one rising TCK edge.
Tap nextTap(Tap state, bool tms);

// TMS levels of the walk a navigation clocks from `from` to `to`: at least one step (a state to
// itself goes once round its loop, or holds for one clock where TMS 0 holds), never through
// Test-Logic-Reset unless that is the goal, and a DR goal is reached through the DR column.
std::vector<bool> navigationWalk(Tap from, Tap to);

// States in which TMS 0 keeps the controller where it is.
bool holdsWithTmsLow(Tap state);

const char* tapName(Tap state);

}  // namespace soak
