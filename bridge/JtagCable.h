// SPDX-License-Identifier: Apache-2.0
// What the remote_bitbang bridge needs of a cable: a client's own TMS and TDI streams clocked as
// they are, with TDO back, and a way back to a working cable after a failure. The session adapter
// drives the plug-in's raw-shift command; tests drive a model chain.
#pragma once

#include <cstdint>

#include "koraven-cse-plugin/CseTypes.h"

namespace csebridge {

using TapState = CsePluginInterface::CseJtagTapState;

class JtagCable {
  public:
    virtual ~JtagCable() = default;
    // bitCount clocks; bit k of each stream in bit k%8 of byte k/8, the first clock first; tdo may
    // be null. Throws (std::exception) with a one-line reason when the cable failed.
    virtual void shift(const uint8_t* tms, const uint8_t* tdi, uint8_t* tdo, uint32_t bitCount) = 0;
    // After a failure: makes the cable usable again (connected, the TAP reset by TMS), or throws.
    virtual void recover() = 0;
    [[nodiscard]] virtual TapState tapState() = 0;
};

}  // namespace csebridge
