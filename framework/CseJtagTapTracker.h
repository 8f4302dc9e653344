// SPDX-License-Identifier: Apache-2.0
// The per-object record of the TAP state a target has reached.
#pragma once

#include "framework/TapStateTables.h"
#include "koraven-cse-plugin/CseTypes.h"

namespace CsePluginInterface {

// The framework only reads it; a target that moves the TAP records every state it reaches here.
class CseJtagTapTracker {
  public:
    CseJtagTapState get() const noexcept { return current; }
    void set(CseJtagTapState state) noexcept { current = state; }

    // One TCK clock with the given TMS value; returns the new state.
    CseJtagTapState clock(bool tms) noexcept {
        current = nextTapState(current, tms);
        return current;
    }

    // Null for a state outside 0..15.
    const char* currentName() const noexcept { return stateName(current); }

  private:
    CseJtagTapState current = CSEJTAG_TEST_LOGIC_RESET;
};

}  // namespace CsePluginInterface
