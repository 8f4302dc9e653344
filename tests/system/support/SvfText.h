// SPDX-License-Identifier: Apache-2.0
// SVF text for the suites that play files through cse-host and OpenOCD.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace systemtest {

// A bit stream built from the first bit shifted on, written as SVF hex.
struct Bits {
    std::vector<bool> bits;
    Bits& add(uint64_t value, unsigned count);
    [[nodiscard]] std::string hex() const;
};

// 200,000 bits through the three BYPASS bits of the demo chain (SIR and SDR), TDI written over
// many lines, TDO checked; wrongLastBit breaks the check.
std::string bypassScan(unsigned seed, bool wrongLastBit);

}  // namespace systemtest
