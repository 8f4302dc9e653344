// SPDX-License-Identifier: Apache-2.0
// The bridge's cable on an open session of the host library: the client's streams through the
// plug-in's raw-shift command, a TMS reset to recover. Failures come as csesession::SessionError
// with a one-line reason.
#pragma once

#include "bridge/JtagCable.h"

namespace csesession {
class CableSession;
}

namespace csebridge {

class SessionCable : public JtagCable {
  public:
    explicit SessionCable(csesession::CableSession& session) : session_(session) {}
    void shift(const uint8_t* tms, const uint8_t* tdi, uint8_t* tdo, uint32_t bitCount) override;
    void recover() override;
    TapState tapState() override;

  private:
    csesession::CableSession& session_;
};

}  // namespace csebridge
