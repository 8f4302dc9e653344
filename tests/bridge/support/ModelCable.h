// SPDX-License-Identifier: Apache-2.0
// A cable on a quorbit-sim virtual chain: the streams clocked as they come, as the plug-in's
// raw-shift command does. It counts its shifts and can be told to fail, and to stay away.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "bridge/JtagCable.h"
#include "sim/VirtualChain.h"

namespace bridgetest {

class ModelCable : public csebridge::JtagCable {
  public:
    explicit ModelCable(const quorbit::ChainDescription& chain) : chain_(chain) {}
    void shift(const uint8_t* tms, const uint8_t* tdi, uint8_t* tdo, uint32_t bitCount) override;
    void recover() override;
    csebridge::TapState tapState() override { return state(); }

    [[nodiscard]] csebridge::TapState state() const {
        return static_cast<csebridge::TapState>(chain_.state());
    }
    std::vector<uint32_t> shifts;  // the clocks of each shift carried out
    uint64_t failAtShift = 0;      // not 0: that shift (counting from 1, failed ones too) fails
    std::atomic<bool> away{false};     // every shift and recovery fails
    std::atomic<unsigned> recoveries{0};  // recover() calls (the test reads them while serving)

  private:
    quorbit::VirtualChain chain_;
    uint64_t calls_ = 0;
};

}  // namespace bridgetest
