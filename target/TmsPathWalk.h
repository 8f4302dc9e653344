// SPDX-License-Identifier: Apache-2.0
// The TMS sequence that moves the TAP controllers of the chain from one state to another, worked
// out state by state with a fixed rule instead of a table.
#pragma once

#include <cstdint>

#include "koraven-cse-plugin/CseTypes.h"

namespace CsePluginInterface {

// No path of the rule is longer than this; the walk gives up beyond it instead of looping.
constexpr uint32_t kMaxTmsPathBits = 8;

// Size of the path buffer a caller hands to walkTmsPath.
constexpr uint32_t kTmsPathBytes = 4;

// Writes the path from `from` to `goal` into `path` (bit n of the sequence in bit n % 8 of byte n /
// 8, first clock first) and returns its length, 1..8. The walk takes at least one step, also when
// from == goal. Returns 0 and writes nothing for a state outside 0..15.
[[nodiscard]] uint32_t walkTmsPath(CseJtagTapState from, CseJtagTapState goal,
                                   uint8_t (&path)[kTmsPathBytes]) noexcept;

// The TMS value the rule picks in `walking` on the way to `goal`.
[[nodiscard]] bool tmsTowards(CseJtagTapState walking, CseJtagTapState goal) noexcept;

}  // namespace CsePluginInterface
