// SPDX-License-Identifier: Apache-2.0
#include "bridge/TapWalk.h"

namespace csebridge {
namespace {

using namespace CsePluginInterface;

// Per state: the successor for TMS 0 and for TMS 1 (IEEE 1149.1).
constexpr TapState kNext[kTapStateCount][2] = {
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

bool isDrColumn(TapState goal) {
    return goal >= CSEJTAG_CAPTURE_DR && goal <= CSEJTAG_UPDATE_DR;
}

// The cable's rule: the TMS value it clocks in `state` on its way to `goal`.
bool tmsToward(TapState state, TapState goal) {
    switch (state) {
        case CSEJTAG_TEST_LOGIC_RESET:
            return goal == CSEJTAG_TEST_LOGIC_RESET;
        case CSEJTAG_RUN_TEST_IDLE:
        case CSEJTAG_UPDATE_DR:
        case CSEJTAG_UPDATE_IR:
            return goal != CSEJTAG_RUN_TEST_IDLE;
        case CSEJTAG_SELECT_DR_SCAN:
            return !(goal == CSEJTAG_RUN_TEST_IDLE || isDrColumn(goal));
        case CSEJTAG_CAPTURE_DR:
        case CSEJTAG_SHIFT_DR:
            return goal != CSEJTAG_SHIFT_DR;
        case CSEJTAG_EXIT1_DR:
            return !(goal == CSEJTAG_PAUSE_DR || goal == CSEJTAG_EXIT2_DR);
        case CSEJTAG_PAUSE_DR:
            return goal != CSEJTAG_PAUSE_DR;
        case CSEJTAG_EXIT2_DR:
            return goal != CSEJTAG_SHIFT_DR;
        case CSEJTAG_SELECT_IR_SCAN:
            return goal == CSEJTAG_TEST_LOGIC_RESET;
        case CSEJTAG_CAPTURE_IR:
        case CSEJTAG_SHIFT_IR:
            return goal != CSEJTAG_SHIFT_IR;
        case CSEJTAG_EXIT1_IR:
            return !(goal == CSEJTAG_PAUSE_IR || goal == CSEJTAG_EXIT2_IR);
        case CSEJTAG_PAUSE_IR:
            return goal != CSEJTAG_PAUSE_IR;
        case CSEJTAG_EXIT2_IR:
            return goal != CSEJTAG_SHIFT_IR;
    }
    return true;
}

}  // namespace

TapState nextTapState(TapState state, bool tms) {
    return state < kTapStateCount ? kNext[state][tms ? 1 : 0] : CSEJTAG_TEST_LOGIC_RESET;
}

TmsWalk walkTms(TapState from, TapState goal) {
    TmsWalk walk;
    TapState state = from;
    do {
        const bool tms = tmsToward(state, goal);
        if (tms) walk.bits = static_cast<uint8_t>(walk.bits | (1u << walk.length));
        ++walk.length;
        state = nextTapState(state, tms);
    } while (state != goal && walk.length < 8);
    return walk;
}

}  // namespace csebridge
