// SPDX-License-Identifier: Apache-2.0
#include "bridge/SessionCable.h"

#include <algorithm>

#include "session/CableSession.h"

namespace csebridge {
namespace {

// The most extra clocks one navigation sends; the plug-in quietly sends none beyond it.
constexpr uint32_t kMaxExtraClocks = 122816;

}  // namespace

void SessionCable::chainScan(bool ir, const uint8_t* tdi, uint8_t* tdo, uint32_t bits,
                             TapState endState) {
    session_.chainScan(ir ? csesession::Register::kIr : csesession::Register::kDr, tdi, tdo, bits,
                       endState);
}

void SessionCable::navigate(TapState goal, uint32_t clocks) {
    uint32_t extra = std::min(clocks, kMaxExtraClocks);
    uint32_t left = clocks - extra;
    for (;;) {
        (void)session_.navigate(goal, extra);
        if (left == 0) return;
        // Once there, a navigation to the same resting state is one clock there and its extras.
        extra = std::min(left, kMaxExtraClocks + 1) - 1;
        left -= extra + 1;
    }
}

void SessionCable::resetTap() {
    // TMS ones only: every TAP ends in Test-Logic-Reset whatever state it was in.
    (void)session_.navigate(CsePluginInterface::CSEJTAG_TEST_LOGIC_RESET, 0);
}

TapState SessionCable::tapState() {
    return session_.tapState();
}

}  // namespace csebridge
