// SPDX-License-Identifier: Apache-2.0
// What the remote_bitbang bridge needs of a cable: whole-chain shifts and TAP navigations as the
// plug-in carries them out. The session adapter drives the plug-in; tests drive a model chain.
#pragma once

#include <cstdint>

#include "koraven-cse-plugin/CseTypes.h"

namespace csebridge {

using TapState = CsePluginInterface::CseJtagTapState;

class JtagCable {
  public:
    virtual ~JtagCable() = default;
    // From the present state to Shift-IR/Shift-DR by the cable's own walk (none when already
    // there), `bits` bits (tdo may be null), then to endState (Exit1 when the last bit left).
    virtual void chainScan(bool ir, const uint8_t* tdi, uint8_t* tdo, uint32_t bits,
                           TapState endState) = 0;
    // The cable's walk from the present state to goal, then `clocks` more TCKs with TMS 0.
    virtual void navigate(TapState goal, uint32_t clocks) = 0;
    // Every TAP to Test-Logic-Reset by TMS alone (the cable has no TRST line).
    virtual void resetTap() = 0;
    [[nodiscard]] virtual TapState tapState() = 0;
};

}  // namespace csebridge
