// SPDX-License-Identifier: Apache-2.0
// Reading and writing runs of up to 64 bits at any bit offset of a byte buffer or a word array.
// Bit k of a byte buffer is bit k%8 of byte k/8 (the order of the link's bit streams).
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorbit {

constexpr std::uint64_t lowBitMask(unsigned count) {
    return count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
}

constexpr std::size_t bytesForBits(std::uint64_t bitCount) {
    return static_cast<std::size_t>((bitCount + 7) / 8);
}

inline bool bitAt(const std::uint8_t* bytes, std::uint64_t bit) {
    return ((bytes[bit / 8] >> (bit % 8)) & 1u) != 0;
}

inline void setBitAt(std::uint8_t* bytes, std::uint64_t bit, bool value) {
    const auto mask = static_cast<std::uint8_t>(1u << (bit % 8));
    if (value) {
        bytes[bit / 8] = static_cast<std::uint8_t>(bytes[bit / 8] | mask);
    } else {
        bytes[bit / 8] = static_cast<std::uint8_t>(bytes[bit / 8] & ~mask);
    }
}

// Eight bytes as one little-endian word; compilers turn these into a single load or store.
inline std::uint64_t loadLE64(const std::uint8_t* p) {
    return std::uint64_t{p[0]} | (std::uint64_t{p[1]} << 8) | (std::uint64_t{p[2]} << 16) |
           (std::uint64_t{p[3]} << 24) | (std::uint64_t{p[4]} << 32) | (std::uint64_t{p[5]} << 40) |
           (std::uint64_t{p[6]} << 48) | (std::uint64_t{p[7]} << 56);
}

inline void storeLE64(std::uint8_t* p, std::uint64_t value) {
    p[0] = static_cast<std::uint8_t>(value);
    p[1] = static_cast<std::uint8_t>(value >> 8);
    p[2] = static_cast<std::uint8_t>(value >> 16);
    p[3] = static_cast<std::uint8_t>(value >> 24);
    p[4] = static_cast<std::uint8_t>(value >> 32);
    p[5] = static_cast<std::uint8_t>(value >> 40);
    p[6] = static_cast<std::uint8_t>(value >> 48);
    p[7] = static_cast<std::uint8_t>(value >> 56);
}

// count (1..64) bits from bit `first`; touches only the bytes that hold them.
inline std::uint64_t readBits(const std::uint8_t* bytes, std::uint64_t first, unsigned count) {
    const std::uint8_t* p = bytes + first / 8;
    const unsigned offset = static_cast<unsigned>(first % 8);
    // Long shifts move whole words; the general path below costs a byte at a time. 64 bits at a
    // bit offset span exactly nine bytes, so reading p[8] stays within the stream.
    if (count == 64) {
        if (offset == 0) return loadLE64(p);
        return (loadLE64(p) >> offset) | (std::uint64_t{p[8]} << (64 - offset));
    }
    const unsigned byteCount = (offset + count + 7) / 8;  // at most 9
    std::uint64_t value = 0;
    const unsigned lowBytes = byteCount < 8 ? byteCount : 8;
    for (unsigned i = 0; i < lowBytes; ++i) value |= std::uint64_t{p[i]} << (8 * i);
    value >>= offset;
    if (byteCount == 9) value |= std::uint64_t{p[8]} << (64 - offset);
    return value & lowBitMask(count);
}

// Writes count (1..64) bits from bit `first`, keeping the other bits of the bytes touched.
inline void writeBits(std::uint8_t* bytes, std::uint64_t first, unsigned count,
                      std::uint64_t value) {
    std::uint8_t* p = bytes + first / 8;
    unsigned offset = static_cast<unsigned>(first % 8);
    if (count == 64) {
        if (offset == 0) {
            storeLE64(p, value);
            return;
        }
        storeLE64(p, (loadLE64(p) & lowBitMask(offset)) | (value << offset));
        p[8] = static_cast<std::uint8_t>((p[8] & ~lowBitMask(offset)) | (value >> (64 - offset)));
        return;
    }
    unsigned remaining = count;
    while (remaining > 0) {
        const unsigned take = (8 - offset) < remaining ? (8 - offset) : remaining;
        const auto mask = static_cast<std::uint8_t>(lowBitMask(take) << offset);
        const auto bits = static_cast<std::uint8_t>((value & lowBitMask(take)) << offset);
        *p = static_cast<std::uint8_t>((*p & ~mask) | bits);
        value >>= take;
        remaining -= take;
        offset = 0;
        ++p;
    }
}

// The same on 64-bit words (bit k in bit k%64 of word k/64); the bits must lie inside the array.
inline std::uint64_t readWordBits(const std::uint64_t* words, std::uint64_t first, unsigned count) {
    const std::size_t index = static_cast<std::size_t>(first / 64);
    const unsigned offset = static_cast<unsigned>(first % 64);
    std::uint64_t value = words[index] >> offset;
    if (offset != 0 && offset + count > 64) value |= words[index + 1] << (64 - offset);
    return value & lowBitMask(count);
}

inline void writeWordBits(std::uint64_t* words, std::uint64_t first, unsigned count,
                          std::uint64_t value) {
    const std::size_t index = static_cast<std::size_t>(first / 64);
    const unsigned offset = static_cast<unsigned>(first % 64);
    value &= lowBitMask(count);
    const std::uint64_t lowMask = lowBitMask(count) << offset;
    words[index] = (words[index] & ~lowMask) | (value << offset);
    if (offset != 0 && offset + count > 64) {
        const unsigned highCount = offset + count - 64;
        const std::uint64_t highMask = lowBitMask(highCount);
        words[index + 1] = (words[index + 1] & ~highMask) | (value >> (64 - offset));
    }
}

}  // namespace quorbit
