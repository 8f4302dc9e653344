// SPDX-License-Identifier: Apache-2.0
#include "svf/SvfBits.h"

#include <cstring>

namespace csesvf {

void appendBits(uint8_t* target, uint64_t targetOffset, const uint8_t* source, uint32_t bitCount) {
    if (bitCount == 0) return;
    const size_t bytes = (static_cast<size_t>(bitCount) + 7) / 8;
    uint8_t* out = target + targetOffset / 8;
    const unsigned shift = static_cast<unsigned>(targetOffset % 8);
    const unsigned tailBits = bitCount % 8;
    const uint8_t lastMask = tailBits == 0 ? 0xFF : static_cast<uint8_t>((1u << tailBits) - 1);
    if (shift == 0) {
        std::memcpy(out, source, bytes);
        out[bytes - 1] = static_cast<uint8_t>(out[bytes - 1] & lastMask);
        return;
    }
    for (size_t i = 0; i < bytes; ++i) {
        const unsigned value = i + 1 == bytes ? (source[i] & lastMask) : source[i];
        out[i] = static_cast<uint8_t>(out[i] | (value << shift));
        const unsigned high = value >> (8 - shift);
        // The spill of the last byte lands beyond the copy only when it carries bits.
        if (i + 1 < bytes || high != 0) out[i + 1] = static_cast<uint8_t>(out[i + 1] | high);
    }
}

void setBitRange(uint8_t* target, uint64_t from, uint64_t count) {
    for (; count > 0 && from % 8 != 0; ++from, --count) target[from / 8] |= 1u << (from % 8);
    std::memset(target + from / 8, 0xFF, count / 8);
    for (uint64_t bit = from + count / 8 * 8; bit < from + count; ++bit)
        target[bit / 8] |= 1u << (bit % 8);
}

uint32_t firstMismatchBit(const uint8_t* read, const uint8_t* expected, const uint8_t* mask,
                          uint32_t bitCount) {
    const size_t bytes = (static_cast<size_t>(bitCount) + 7) / 8;
    for (size_t i = 0; i < bytes; ++i) {
        const unsigned differing = (read[i] ^ expected[i]) & (mask != nullptr ? mask[i] : 0xFFu);
        if (differing == 0) continue;
        const uint32_t bit = static_cast<uint32_t>(i * 8 + __builtin_ctz(differing));
        return bit < bitCount ? bit : bitCount;
    }
    return bitCount;
}

std::string bitsToHex(const uint8_t* buffer, uint32_t first, uint32_t count) {
    const uint32_t digits = (count + 3) / 4;
    if (buffer == nullptr) {
        std::string ones(digits, 'F');
        if (count % 4 != 0) ones[0] = "0137"[count % 4];
        return ones;
    }
    std::string text(digits, '0');
    for (uint32_t bit = 0; bit < count; ++bit) {
        const uint32_t at = first + bit;
        if (((buffer[at / 8] >> (at % 8)) & 1u) == 0) continue;
        char& digit = text[digits - 1 - bit / 4];
        const unsigned value = hexDigitKind(digit) | (1u << (bit % 4));
        digit = "0123456789ABCDEF"[value];
    }
    return text;
}

}  // namespace csesvf
