// SPDX-License-Identifier: Apache-2.0
// Bit counts and hex strings as the user types them, turned into bit buffers and back.
// A bit buffer holds bit k of a stream in bit k % 8 of byte k / 8; bit 0 is shifted first, so it is
// the least significant bit of the hex number the user writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace csesession {

// Largest stream cse-host accepts on its command line (2 MiB of buffer).
constexpr uint32_t kMaxHostShiftBits = 16u * 1024u * 1024u;

// Decimal number without sign; false with a one-line reason when it is not all digits or above
// maxValue.
[[nodiscard]] bool parseDecimal(const std::string& text, uint64_t maxValue, uint64_t& value,
                                std::string& error);

// A bit count of 1 .. kMaxHostShiftBits.
[[nodiscard]] bool parseBitCount(const std::string& text, uint32_t& bitCount, std::string& error);

// Hex number (optional 0x) of at most (bitCount + 3) / 4 digits whose value fits in bitCount bits,
// written into a buffer of (bitCount + 7) / 8 bytes.
[[nodiscard]] bool parseHexBits(const std::string& text, uint32_t bitCount,
                                std::vector<uint8_t>& buffer, std::string& error);

// (bitCount + 3) / 4 upper-case hex digits, most significant first; bits above bitCount are
// ignored.
[[nodiscard]] std::string formatHexBits(const uint8_t* buffer, uint32_t bitCount);

// "0x" and exactly `digits` upper-case hex digits: IDCODEs and their fields in results.
[[nodiscard]] std::string hexNumber(uint32_t value, int digits);

[[nodiscard]] inline bool bitAt(const uint8_t* buffer, uint32_t bit) {
    return ((buffer[bit / 8] >> (bit % 8)) & 1u) != 0;
}

inline void setBit(uint8_t* buffer, uint32_t bit, bool value) {
    const uint8_t mask = static_cast<uint8_t>(1u << (bit % 8));
    buffer[bit / 8] =
        static_cast<uint8_t>(value ? (buffer[bit / 8] | mask) : (buffer[bit / 8] & ~mask));
}

}  // namespace csesession
