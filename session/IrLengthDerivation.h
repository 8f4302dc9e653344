// SPDX-License-Identifier: Apache-2.0
// Working out the IR length of every device from what the chain's IR path gives back.
//
// Measuring: right after a TAP reset, shift flushBits zeros and then flushBits ones through the IR
// path. TDO first shows the captured IR pattern (total bits), then the zeros, then the ones; the
// position of the last zero tells the total length. Splitting: every device captures ...01 (bit 0 =
// 1, bit 1 = 0, the device nearest TDO first), so a split of the total into the device count is
// consistent when each device's first two captured bits read 1, 0. Exactly one consistent split
// gives the lengths.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace csesession {

// Enough for long chains, and small enough to stay one raw shift on the debugger (2 x 8192 bits).
constexpr uint32_t kIrFlushBits = 8192;

// 2 x flushBits bits: flushBits zeros, then flushBits ones.
[[nodiscard]] std::vector<uint8_t> buildIrMeasureStream(uint32_t flushBits);

// Total IR length from the TDO of the measuring stream (2 x flushBits bits); false with a reason
// when the stream does not show the expected zeros-then-ones tail (TDO stuck, or a longer IR path).
[[nodiscard]] bool measureTotalIrLength(const uint8_t* tdo, uint32_t flushBits, uint32_t& totalBits,
                                        std::string& error);

struct IrSplit {
    enum class Outcome { kUnique, kNone, kAmbiguous };
    Outcome outcome = Outcome::kNone;
    std::vector<uint32_t> lengths;  // kUnique only; device 0 (nearest TDI) first
};

// Every split of the captured pattern (totalBits bits, nearest TDO first) into deviceCount devices
// of at least two bits, each starting with the bits 1, 0.
[[nodiscard]] IrSplit deriveIrLengths(const uint8_t* capture, uint32_t totalBits,
                                      uint32_t deviceCount);

// Up to maxSplits of those splits (device 0 first in each), for saying which ones are possible.
[[nodiscard]] std::vector<std::vector<uint32_t>> listIrSplits(const uint8_t* capture,
                                                              uint32_t totalBits,
                                                              uint32_t deviceCount,
                                                              size_t maxSplits);

// Whether given lengths (device 0 first) fit the captured pattern: they add up to totalBits and
// every device's field starts with 1, 0. Otherwise the first device that does not fit, or
// deviceCount when only the total is wrong.
[[nodiscard]] uint32_t firstMisfittingDevice(const uint8_t* capture, uint32_t totalBits,
                                             const std::vector<uint32_t>& lengths);

}  // namespace csesession
