// SPDX-License-Identifier: Apache-2.0
// Constant TAP tables: state names, the next state per TMS value and the TMS path between any two
// states.
#pragma once

#include <cstdint>

#include "koraven-cse-plugin/CseTypes.h"

namespace CsePluginInterface {

// Name of a state as used in traces and logs ("CSEJTAG_SHIFT_DR"), or null outside 0..15.
const char* stateName(CseJtagTapState state) noexcept;

// State after one TCK clock with the given TMS value; a state outside 0..15 is returned unchanged.
CseJtagTapState nextTapState(CseJtagTapState state, bool tms) noexcept;

// TMS pattern from one state to another, first clock in bit 0; 0 when either state is outside
// 0..15.
uint8_t tmsPathBits(CseJtagTapState from, CseJtagTapState to) noexcept;

// Clock count of that pattern (1..8); 0 when either state is outside 0..15.
uint32_t tmsPathLength(CseJtagTapState from, CseJtagTapState to) noexcept;

// Printable name for log lines: the state's name, or "CSEJTAG_INVALID_STATE(<value>)" for a value
// the tables do not name, so a log line never receives a null text.
class TapStateLabel {
  public:
    explicit TapStateLabel(CseJtagTapState state) noexcept;
    TapStateLabel(const TapStateLabel&) = delete;
    TapStateLabel& operator=(const TapStateLabel&) = delete;
    const char* text() const noexcept { return text_; }

  private:
    char invalid_[40] = {};  // only written for a value without a name
    const char* text_ = invalid_;
};

}  // namespace CsePluginInterface
