// SPDX-License-Identifier: Apache-2.0
// Seeded decisions for the fault plan: the same plan, seed and datagram order give the same
// faults, so a failing run can be repeated.
#pragma once

#include <cstdint>
#include <random>

namespace quorbit {

class FaultInjector {
  public:
    explicit FaultInjector(std::uint64_t seed) : engine_(seed) {}

    // True with the given probability; 0 and 1 are exact and draw nothing.
    bool happens(double probability) {
        if (probability <= 0.0) return false;
        if (probability >= 1.0) return true;
        const double draw = static_cast<double>(engine_() >> 11) * 0x1.0p-53;
        return draw < probability;
    }

    // A whole number from low to high; draws nothing when they are equal.
    unsigned between(unsigned low, unsigned high) {
        if (high <= low) return low;
        return low + static_cast<unsigned>(engine_() % (std::uint64_t{high} - low + 1));
    }

  private:
    std::mt19937_64 engine_;
};

}  // namespace quorbit
