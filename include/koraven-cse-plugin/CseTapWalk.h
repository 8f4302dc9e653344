// SPDX-License-Identifier: Apache-2.0
// The TAP state diagram of IEEE 1149.1 and the TMS walk the KORAVEN plug-in takes from one state
// to another, for hosts that compose TMS streams of their own for the plug-in's raw-shift command
// (CsePlugin.h, slot 82): a stream built with cseWalkTms visits exactly the states the plug-in's
// own navigations and shifts visit. Header only; the plug-in's navigation uses the same rule.
#pragma once

#include <cstdint>

#include "koraven-cse-plugin/CseTypes.h"

namespace CsePluginInterface {

// The state after one TCK clock with this TMS value; a state outside 0..15 stays as it is.
constexpr CseJtagTapState cseNextTapState(CseJtagTapState state, bool tms) noexcept {
    // Per state: the successor for TMS 0 and for TMS 1.
    constexpr CseJtagTapState kNext[kTapStateCount][2] = {
        {CSEJTAG_RUN_TEST_IDLE, CSEJTAG_TEST_LOGIC_RESET},
        {CSEJTAG_RUN_TEST_IDLE, CSEJTAG_SELECT_DR_SCAN},
        {CSEJTAG_CAPTURE_DR, CSEJTAG_SELECT_IR_SCAN},
        {CSEJTAG_SHIFT_DR, CSEJTAG_EXIT1_DR},
        {CSEJTAG_SHIFT_DR, CSEJTAG_EXIT1_DR},
        {CSEJTAG_PAUSE_DR, CSEJTAG_UPDATE_DR},
        {CSEJTAG_PAUSE_DR, CSEJTAG_EXIT2_DR},
        {CSEJTAG_SHIFT_DR, CSEJTAG_UPDATE_DR},
        {CSEJTAG_RUN_TEST_IDLE, CSEJTAG_SELECT_DR_SCAN},
        {CSEJTAG_CAPTURE_IR, CSEJTAG_TEST_LOGIC_RESET},
        {CSEJTAG_SHIFT_IR, CSEJTAG_EXIT1_IR},
        {CSEJTAG_SHIFT_IR, CSEJTAG_EXIT1_IR},
        {CSEJTAG_PAUSE_IR, CSEJTAG_UPDATE_IR},
        {CSEJTAG_PAUSE_IR, CSEJTAG_EXIT2_IR},
        {CSEJTAG_SHIFT_IR, CSEJTAG_UPDATE_IR},
        {CSEJTAG_RUN_TEST_IDLE, CSEJTAG_SELECT_DR_SCAN},
    };
    return isValidTapState(state) ? kNext[state][tms ? 1 : 0] : state;
}

// The TMS value the walk clocks in `walking` on its way to `goal` (true: 1). Each state stays on
// its TMS-0 successor only for the goals that lie that way, so a walk never passes
// Test-Logic-Reset on the way elsewhere, never lingers in a Shift or Pause state and always enters
// a Shift state from its Capture state or, from Pause, through Exit2.
constexpr bool cseTmsTowards(CseJtagTapState walking, CseJtagTapState goal) noexcept {
    const bool drColumnGoal = goal == CSEJTAG_RUN_TEST_IDLE ||
                              (goal >= CSEJTAG_CAPTURE_DR && goal <= CSEJTAG_UPDATE_DR);
    switch (walking) {
        case CSEJTAG_TEST_LOGIC_RESET:
            return goal == CSEJTAG_TEST_LOGIC_RESET;
        case CSEJTAG_RUN_TEST_IDLE:
        case CSEJTAG_UPDATE_DR:
        case CSEJTAG_UPDATE_IR:
            return goal != CSEJTAG_RUN_TEST_IDLE;
        case CSEJTAG_SELECT_DR_SCAN:
            return !drColumnGoal;
        case CSEJTAG_CAPTURE_DR:
        case CSEJTAG_SHIFT_DR:
        case CSEJTAG_EXIT2_DR:
            return goal != CSEJTAG_SHIFT_DR;
        case CSEJTAG_EXIT1_DR:
            return goal != CSEJTAG_PAUSE_DR && goal != CSEJTAG_EXIT2_DR;
        case CSEJTAG_PAUSE_DR:
            return goal != CSEJTAG_PAUSE_DR;
        case CSEJTAG_SELECT_IR_SCAN:
            return goal == CSEJTAG_TEST_LOGIC_RESET;
        case CSEJTAG_CAPTURE_IR:
        case CSEJTAG_SHIFT_IR:
        case CSEJTAG_EXIT2_IR:
            return goal != CSEJTAG_SHIFT_IR;
        case CSEJTAG_EXIT1_IR:
            return goal != CSEJTAG_PAUSE_IR && goal != CSEJTAG_EXIT2_IR;
        case CSEJTAG_PAUSE_IR:
            return goal != CSEJTAG_PAUSE_IR;
    }
    return true;  // not reached for valid states; ones lead towards reset
}

// No walk of the rule is longer than this.
constexpr uint32_t kCseMaxTmsWalkBits = 8;

// A walk's TMS bits (first clock in bit 0) and its length in clocks.
struct CseTmsWalk {
    uint8_t bits = 0;
    uint32_t length = 0;
};

// The walk from `from` to `goal`: 1..8 clocks, at least one also from a state to itself (from
// Run-Test/Idle, a Shift or a Pause state to itself it is one TMS-0 clock in that state). Length 0
// for a state outside 0..15.
constexpr CseTmsWalk cseWalkTms(CseJtagTapState from, CseJtagTapState goal) noexcept {
    CseTmsWalk walk;
    if (!isValidTapState(from) || !isValidTapState(goal)) return walk;
    CseJtagTapState walking = from;
    do {
        if (walk.length == kCseMaxTmsWalkBits) return CseTmsWalk{};  // loop guard: never needed
        const bool tms = cseTmsTowards(walking, goal);
        if (tms) walk.bits = static_cast<uint8_t>(walk.bits | (1u << walk.length));
        ++walk.length;
        walking = cseNextTapState(walking, tms);
    } while (walking != goal);
    return walk;
}

}  // namespace CsePluginInterface
