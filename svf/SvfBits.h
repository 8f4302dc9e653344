// SPDX-License-Identifier: Apache-2.0
// Bit-buffer work of the SVF player, done a byte at a time: hex digits, joining header, scan and
// trailer, and finding the first bit where a TDO check fails.
// Bit k of a buffer is bit k % 8 of byte k / 8; bit 0 is shifted first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace csesvf {

// Hex digit values 0..15 by character; kHexBlank for white space, kHexOther for the rest.
constexpr uint8_t kHexBlank = 16;
constexpr uint8_t kHexOther = 17;
struct HexTable {
    uint8_t kind[256];
    constexpr HexTable() : kind() {
        for (int c = 0; c < 256; ++c) kind[c] = kHexOther;
        for (int c = 0; c < 10; ++c) kind['0' + c] = static_cast<uint8_t>(c);
        for (int c = 0; c < 6; ++c) {
            kind['a' + c] = static_cast<uint8_t>(10 + c);
            kind['A' + c] = static_cast<uint8_t>(10 + c);
        }
        for (const char c : {' ', '\t', '\n', '\r', '\v', '\f'})
            kind[static_cast<uint8_t>(c)] = kHexBlank;
    }
};
inline constexpr HexTable kHexTable;

[[nodiscard]] inline uint8_t hexDigitKind(char c) {
    return kHexTable.kind[static_cast<uint8_t>(c)];
}

// Copies bitCount bits of source (from its bit 0) into target from bit targetOffset on; target
// holds enough bytes and its bits from targetOffset on are zero.
void appendBits(uint8_t* target, uint64_t targetOffset, const uint8_t* source, uint32_t bitCount);

// Sets bits from .. from + count - 1 of target.
void setBitRange(uint8_t* target, uint64_t from, uint64_t count);

// The first bit where (read ^ expected) & mask is set, or bitCount when there is none; a null mask
// has every bit set.
[[nodiscard]] uint32_t firstMismatchBit(const uint8_t* read, const uint8_t* expected,
                                        const uint8_t* mask, uint32_t bitCount);

// Bits first .. first + count - 1 of buffer as hex, most significant digit first; a null buffer
// reads as all ones.
[[nodiscard]] std::string bitsToHex(const uint8_t* buffer, uint32_t first, uint32_t count);

}  // namespace csesvf
