// SPDX-License-Identifier: Apache-2.0
// A cable on a quorbit-sim virtual chain that moves the TAP as the plug-in does: its own walk to
// the shift state, the bits (the last with TMS 1 unless the scan stays), its walk to the end
// state; navigations walk and then clock TMS 0. It counts the calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bridge/JtagCable.h"
#include "sim/VirtualChain.h"

namespace bridgetest {

class ModelCable : public csebridge::JtagCable {
  public:
    explicit ModelCable(const quorbit::ChainDescription& chain) : chain_(chain) {}
    void chainScan(bool ir, const uint8_t* tdi, uint8_t* tdo, uint32_t bits,
                   csebridge::TapState endState) override;
    void navigate(csebridge::TapState goal, uint32_t clocks) override;
    void resetTap() override;
    csebridge::TapState tapState() override { return state(); }

    [[nodiscard]] csebridge::TapState state() const {
        return static_cast<csebridge::TapState>(chain_.state());
    }
    std::vector<std::string> calls;  // "scan DR 32 -> 1", "nav 1 +5", "reset"

  private:
    void walk(csebridge::TapState goal);
    quorbit::VirtualChain chain_;
};

}  // namespace bridgetest
