// SPDX-License-Identifier: Apache-2.0
// The TAP state diagram and the walk by which the cable moves between states: the bridge replays
// a client's clocks as navigations only where the cable's own walk takes exactly those states.
#pragma once

#include <cstdint>

#include "bridge/JtagCable.h"

namespace csebridge {

[[nodiscard]] TapState nextTapState(TapState state, bool tms);

// The TMS bits (first clock in bit 0) and their count (1..8) of the cable's walk from `from` to
// `goal`; the walk takes at least one clock, also from a state to itself.
struct TmsWalk {
    uint8_t bits = 0;
    unsigned length = 0;
};
[[nodiscard]] TmsWalk walkTms(TapState from, TapState goal);

[[nodiscard]] inline bool isShiftState(TapState state) {
    return state == CsePluginInterface::CSEJTAG_SHIFT_DR ||
           state == CsePluginInterface::CSEJTAG_SHIFT_IR;
}

}  // namespace csebridge
