// SPDX-License-Identifier: Apache-2.0
#include "target/TmsPathWalk.h"

#include "framework/TapStateTables.h"

namespace CsePluginInterface {
namespace {

bool isDrColumnGoal(CseJtagTapState goal) {
    return goal == CSEJTAG_RUN_TEST_IDLE ||
           (goal >= CSEJTAG_CAPTURE_DR && goal <= CSEJTAG_UPDATE_DR);
}

}  // namespace

bool tmsTowards(CseJtagTapState walking, CseJtagTapState goal) noexcept {
    // true = TMS 1. Each case stays on the first choice only for the goals that it leads to.
    switch (walking) {
        case CSEJTAG_TEST_LOGIC_RESET:
            return goal == CSEJTAG_TEST_LOGIC_RESET;
        case CSEJTAG_RUN_TEST_IDLE:
        case CSEJTAG_UPDATE_DR:
        case CSEJTAG_UPDATE_IR:
            return goal != CSEJTAG_RUN_TEST_IDLE;
        case CSEJTAG_SELECT_DR_SCAN:
            return !isDrColumnGoal(goal);
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

uint32_t walkTmsPath(CseJtagTapState from, CseJtagTapState goal,
                     uint8_t (&path)[kTmsPathBytes]) noexcept {
    if (!isValidTapState(from) || !isValidTapState(goal)) return 0;
    CseJtagTapState walking = from;
    uint32_t bitCount = 0;
    do {
        if (bitCount == kMaxTmsPathBits) return 0;  // loop guard: the rule never needs more
        const bool tms = tmsTowards(walking, goal);
        const uint8_t mask = static_cast<uint8_t>(1u << (bitCount % 8));
        path[bitCount / 8] =
            static_cast<uint8_t>(tms ? (path[bitCount / 8] | mask) : (path[bitCount / 8] & ~mask));
        ++bitCount;
        walking = nextTapState(walking, tms);
    } while (walking != goal);
    return bitCount;
}

}  // namespace CsePluginInterface
