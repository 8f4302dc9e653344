// SPDX-License-Identifier: Apache-2.0
#include "bridge/SessionCable.h"

#include "session/CableSession.h"

namespace csebridge {

void SessionCable::shift(const uint8_t* tms, const uint8_t* tdi, uint8_t* tdo,
                         uint32_t bitCount) {
    session_.rawShift(tms, tdi, tdo, bitCount);
}

void SessionCable::recover() {
    // The plug-in connects to a restarted front end by itself on its next call; a TMS reset is
    // that call, and it also lifts the plug-in's refusal of DR shifts after a failure.
    session_.resetTap();
}

TapState SessionCable::tapState() {
    return session_.tapState();
}

}  // namespace csebridge
