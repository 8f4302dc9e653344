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
[[nodiscard]] uint8_t hexDigitKind(char c);

// Copies bitCount bits of source (from its bit 0) into target from bit targetOffset on; target
// holds enough bytes and its bits from targetOffset on are zero.
void appendBits(uint8_t* target, uint64_t targetOffset, const uint8_t* source, uint32_t bitCount);

// The first bit where (read ^ expected) & mask is set, or bitCount when there is none; a null mask
// has every bit set.
[[nodiscard]] uint32_t firstMismatchBit(const uint8_t* read, const uint8_t* expected,
                                        const uint8_t* mask, uint32_t bitCount);

// Bits first .. first + count - 1 of buffer as hex, most significant digit first; a null buffer
// reads as all ones.
[[nodiscard]] std::string bitsToHex(const uint8_t* buffer, uint32_t first, uint32_t count);

}  // namespace csesvf
