// SPDX-License-Identifier: Apache-2.0
#include "sim/ShiftRegister.h"

#include <algorithm>

#include "sim/BitBuffer.h"

namespace quorbit {

void ShiftRegister::resize(unsigned widthBits) {
    width_ = std::max(1u, widthBits);
    word_ = 0;
    head_ = 0;
    ring_.assign(width_ > 64 ? wordCount() : 0, 0);
}

void ShiftRegister::load(const std::uint64_t* words) {
    if (width_ <= 64) {
        word_ = words[0] & lowBitMask(width_);
        return;
    }
    std::copy(words, words + ring_.size(), ring_.begin());
    ring_.back() &= lowBitMask(width_ % 64 == 0 ? 64 : width_ % 64);
    head_ = 0;
}

void ShiftRegister::loadValue(std::uint64_t value) {
    if (width_ <= 64) {
        word_ = value & lowBitMask(width_);
        return;
    }
    std::fill(ring_.begin(), ring_.end(), 0);
    ring_[0] = value;
    head_ = 0;
}

void ShiftRegister::store(std::uint64_t* words) const {
    if (width_ <= 64) {
        words[0] = word_;
        return;
    }
    // Logical bit k sits at ring position (head + k) mod width.
    std::uint64_t logical = 0;
    while (logical < width_) {
        const unsigned count = static_cast<unsigned>(std::min<std::uint64_t>(64, width_ - logical));
        const std::uint64_t position = (head_ + logical) % width_;
        std::uint64_t bits;
        if (position + count <= width_) {
            bits = readWordBits(ring_.data(), position, count);
        } else {
            const unsigned first = static_cast<unsigned>(width_ - position);
            bits = readWordBits(ring_.data(), position, first) |
                   (readWordBits(ring_.data(), 0, count - first) << first);
        }
        words[logical / 64] = bits;
        logical += count;
    }
}

std::uint64_t ShiftRegister::value() const {
    if (width_ <= 64) return word_;
    std::vector<std::uint64_t> words(wordCount());
    store(words.data());
    return words[0];
}

bool ShiftRegister::outBit() const {
    if (width_ <= 64) return (word_ & 1u) != 0;
    return ((ring_[head_ / 64] >> (head_ % 64)) & 1u) != 0;
}

std::uint64_t ShiftRegister::shiftWord(std::uint64_t in, unsigned count) {
    const unsigned width = width_;
    std::uint64_t out;
    if (count < width) {
        out = word_ & lowBitMask(count);
        word_ = (word_ >> count) | (in << (width - count));
    } else if (count == width) {
        out = word_;
        word_ = in;
    } else {
        // The whole register comes out first, then the first bits that went in behind it.
        out = (word_ | (in << width)) & lowBitMask(count);
        word_ = (in >> (count - width)) & lowBitMask(width);
    }
    return out;
}

std::uint64_t ShiftRegister::shiftRing(std::uint64_t in, unsigned count) {
    // The bits leaving the register are replaced, in place, by the bits entering it.
    std::uint64_t out;
    if (head_ + count <= width_) {
        out = readWordBits(ring_.data(), head_, count);
        writeWordBits(ring_.data(), head_, count, in);
    } else {
        const unsigned first = width_ - head_;
        out = readWordBits(ring_.data(), head_, first) |
              (readWordBits(ring_.data(), 0, count - first) << first);
        writeWordBits(ring_.data(), head_, first, in);
        writeWordBits(ring_.data(), 0, count - first, in >> first);
    }
    head_ += count;
    if (head_ >= width_) head_ -= width_;
    return out;
}

}  // namespace quorbit
