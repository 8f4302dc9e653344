// SPDX-License-Identifier: Apache-2.0
// A JTAG shift register of any width that shifts up to 64 bits per call in word operations.
// Bit 0 is the next bit out (towards TDO); new bits enter at the top (from TDI). Registers up to
// 64 bits live in one word; wider ones are a bit ring whose head advances, so a shift touches only
// the bits that move, never the whole register.
#pragma once

#include <cstdint>
#include <vector>

namespace quorbit {

class ShiftRegister {
  public:
    ShiftRegister() = default;
    explicit ShiftRegister(unsigned widthBits) { resize(widthBits); }

    void resize(unsigned widthBits);  // 1..2^26 bits; contents become zero
    unsigned width() const { return width_; }

    // Loads the register (capture). words hold bit k in bit k%64 of word k/64.
    void load(const std::uint64_t* words);
    void loadValue(std::uint64_t value);  // for registers of at most 64 bits
    // Reads the register in logical order (update), the same layout as load().
    void store(std::uint64_t* words) const;
    std::uint64_t value() const;  // the low 64 bits in logical order

    bool outBit() const;

    // Shifts count (1..64) bits in; bit j of `in` enters j-th. Returns the count bits that came
    // out, first out in bit 0. Bits of `in` above count must be zero.
    std::uint64_t shift(std::uint64_t in, unsigned count) {
        return width_ <= 64 ? shiftWord(in, count) : shiftRing(in, count);
    }

    // shift(in, 64) without its general cases, inline: long runs make one such step per 64 bits
    // and device, and a register of up to 64 bits is then just a delay line.
    std::uint64_t shift64(std::uint64_t in) {
        if (width_ > 64) return shiftRing(in, 64);
        const std::uint64_t out = word_;
        if (width_ == 64) {
            word_ = in;
            return out;
        }
        word_ = in >> (64 - width_);
        return out | (in << width_);
    }

    std::size_t wordCount() const { return (width_ + 63) / 64; }

  private:
    std::uint64_t shiftWord(std::uint64_t in, unsigned count);
    std::uint64_t shiftRing(std::uint64_t in, unsigned count);

    unsigned width_ = 1;
    std::uint64_t word_ = 0;           // registers of up to 64 bits
    std::vector<std::uint64_t> ring_;  // wider registers
    unsigned head_ = 0;                // ring position of logical bit 0
};

}  // namespace quorbit
