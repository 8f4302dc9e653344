// SPDX-License-Identifier: Apache-2.0
// The bridge's cable on an open session of the host library: chain scans, navigations and the TMS
// reset through the plug-in. Failures come as csesession::SessionError with a one-line reason.
#pragma once

#include "bridge/JtagCable.h"

namespace csesession {
class CableSession;
}

namespace csebridge {

class SessionCable : public JtagCable {
  public:
    explicit SessionCable(csesession::CableSession& session) : session_(session) {}
    void chainScan(bool ir, const uint8_t* tdi, uint8_t* tdo, uint32_t bits,
                   TapState endState) override;
    void navigate(TapState goal, uint32_t clocks) override;
    void resetTap() override;
    TapState tapState() override;

  private:
    csesession::CableSession& session_;
};

}  // namespace csebridge
