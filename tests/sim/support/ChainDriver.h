// SPDX-License-Identifier: Apache-2.0
// Drives a VirtualChain with the TMS sequences a JTAG host would clock, written out by hand, so
// that the chain's state machine is checked against them rather than against itself.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "sim/VirtualChain.h"

namespace simtest {

using BitBytes = std::vector<std::uint8_t>;

inline BitBytes bitsOf(std::uint64_t value, unsigned count) {
    BitBytes bytes((count + 7) / 8, 0);
    for (unsigned k = 0; k < count; ++k) {
        if ((value >> k) & 1u)
            bytes[k / 8] = static_cast<std::uint8_t>(bytes[k / 8] | (1u << (k % 8)));
    }
    return bytes;
}

inline std::uint64_t valueOf(const BitBytes& bytes, unsigned first, unsigned count) {
    std::uint64_t value = 0;
    for (unsigned k = 0; k < count; ++k) {
        const unsigned bit = first + k;
        if ((bytes[bit / 8] >> (bit % 8)) & 1u) value |= std::uint64_t{1} << k;
    }
    return value;
}

class ChainDriver {
  public:
    explicit ChainDriver(quorbit::VirtualChain& chain) : chain_(chain) {}

    void tms(std::initializer_list<int> bits) {
        for (const int bit : bits) chain_.clock(bit != 0, false);
    }
    // Five ones reach Test-Logic-Reset from anywhere; one zero then enters Run-Test/Idle.
    void resetToIdle() { tms({1, 1, 1, 1, 1, 0}); }

    // From Run-Test/Idle through Shift-IR (last bit with TMS 1), Update-IR, back to Run-Test/Idle.
    BitBytes scanIr(const BitBytes& tdi, unsigned bitCount) {
        tms({1, 1, 0, 0});
        return shiftAndReturn(tdi, bitCount);
    }
    BitBytes scanDr(const BitBytes& tdi, unsigned bitCount) {
        tms({1, 0, 0});
        return shiftAndReturn(tdi, bitCount);
    }

  private:
    BitBytes shiftAndReturn(const BitBytes& tdi, unsigned bitCount) {
        BitBytes tdo((bitCount + 7) / 8, 0);
        chain_.shift(bitCount, nullptr, tdi.data(), tdo.data(), true);
        tms({1, 0});
        return tdo;
    }

    quorbit::VirtualChain& chain_;
};

}  // namespace simtest
