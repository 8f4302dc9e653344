// SPDX-License-Identifier: Apache-2.0
// The input of the plug-in's raw-shift command (CsePlugin.h, slot 82) built clock by clock from
// the walks of CseTapWalk.h, clocks in a state and whole scans, for hosts that send several scans
// and navigations as one raw shift. The stream follows the TAP state its TMS bits lead to, so a
// scan appended to it enters its shift state as the plug-in's own chain shift would. Header only.
//
//   CsePluginInterface::CseRawShiftStream stream(CSEJTAG_RUN_TEST_IDLE);
//   const uint32_t at = stream.scan(Scan::kDr, tdi, 32, CSEJTAG_RUN_TEST_IDLE);
//   stream.clocks(10);
//   const std::vector<uint8_t> input = stream.commandInput();   // sendCommand("raw-shift", ...)
//   // the scan's TDO is bits at .. at + 31 of what the command returns
#pragma once

#include <cstdint>
#include <vector>

#include "koraven-cse-plugin/CseTapWalk.h"

namespace CsePluginInterface {

class CseRawShiftStream {
  public:
    enum class Register { kIr, kDr };

    explicit CseRawShiftStream(CseJtagTapState start = CSEJTAG_TEST_LOGIC_RESET) noexcept
        : start_(start), state_(start) {}

    // Nothing kept; the next clock starts from `start`.
    void restart(CseJtagTapState start) {
        tms_.clear();
        tdi_.clear();
        bits_ = 0;
        start_ = start;
        state_ = start;
    }

    [[nodiscard]] bool empty() const noexcept { return bits_ == 0; }
    [[nodiscard]] uint32_t bits() const noexcept { return bits_; }
    [[nodiscard]] CseJtagTapState startState() const noexcept { return start_; }
    // Where the TAP stands once the stream is clocked.
    [[nodiscard]] CseJtagTapState state() const noexcept { return state_; }

    void clock(bool tms, bool tdi) {
        if (bits_ % 8 == 0) {
            tms_.push_back(0);
            tdi_.push_back(0);
        }
        const auto mask = static_cast<uint8_t>(1u << (bits_ % 8));
        if (tms) tms_.back() = static_cast<uint8_t>(tms_.back() | mask);
        if (tdi) tdi_.back() = static_cast<uint8_t>(tdi_.back() | mask);
        ++bits_;
        state_ = cseNextTapState(state_, tms);
    }

    // The plug-in's walk to `goal`: at least one clock, also to the state the stream is in.
    void walk(CseJtagTapState goal) {
        const CseTmsWalk path = cseWalkTms(state_, goal);
        for (uint32_t k = 0; k < path.length; ++k) clock(((path.bits >> k) & 1u) != 0, false);
    }

    // TCKs with TMS 0 (they keep Run-Test/Idle, a Shift or a Pause state).
    void clocks(uint32_t count) {
        for (uint32_t k = 0; k < count; ++k) clock(false, false);
    }

    // A chain scan as the plug-in shifts one: the walk into Shift-IR/DR unless the stream is
    // there, the data with TMS 1 on its last bit unless `end` is that Shift state, then the walk
    // from Exit1 to `end` unless that is where it ends. Returns the bit at which its data starts;
    // a null tdi shifts zeros.
    uint32_t scan(Register reg, const uint8_t* tdi, uint32_t bitCount, CseJtagTapState end) {
        const CseJtagTapState shift = shiftState(reg);
        if (state_ != shift) walk(shift);
        const uint32_t dataAt = bits_;
        if (bitCount != 0) {
            shiftBits(tdi, bitCount - 1);
            const uint32_t last = bitCount - 1;
            clock(end != shift, tdi != nullptr && ((tdi[last / 8] >> (last % 8)) & 1u) != 0);
        }
        if (state_ != end) walk(end);
        return dataAt;
    }

    // The clocks such a scan takes from `from`.
    [[nodiscard]] static uint32_t scanBits(CseJtagTapState from, Register reg, uint32_t bitCount,
                                           CseJtagTapState end) noexcept {
        const CseJtagTapState shift = shiftState(reg);
        const uint32_t in = from == shift ? 0 : cseWalkTms(from, shift).length;
        const CseJtagTapState after =
            end == shift || bitCount == 0
                ? shift
                : (reg == Register::kIr ? CSEJTAG_EXIT1_IR : CSEJTAG_EXIT1_DR);
        const uint32_t out = after == end ? 0 : cseWalkTms(after, end).length;
        return in + bitCount + out;
    }

    // The command's input: the clock count (4 bytes, little-endian), the TMS and the TDI streams.
    [[nodiscard]] std::vector<uint8_t> commandInput() const {
        std::vector<uint8_t> input = {static_cast<uint8_t>(bits_), static_cast<uint8_t>(bits_ >> 8),
                                      static_cast<uint8_t>(bits_ >> 16),
                                      static_cast<uint8_t>(bits_ >> 24)};
        input.insert(input.end(), tms_.begin(), tms_.end());
        input.insert(input.end(), tdi_.begin(), tdi_.end());
        return input;
    }

    [[nodiscard]] uint32_t tdoBytes() const noexcept { return (bits_ + 7) / 8; }

  private:
    // `count` clocks with TMS 0 (the TAP stays in its Shift state) carrying the first `count`
    // bits of tdi (zeros for null), a byte at a time.
    void shiftBits(const uint8_t* tdi, uint32_t count) {
        const uint32_t first = bits_;
        bits_ += count;
        tms_.resize((bits_ + 7) / 8, 0);
        tdi_.resize((bits_ + 7) / 8, 0);
        if (tdi == nullptr) return;
        const uint32_t offset = first % 8;
        uint8_t* out = tdi_.data() + first / 8;
        for (uint32_t k = 0; k < (count + 7) / 8; ++k) {
            const uint32_t left = count - 8 * k;
            uint8_t byte = tdi[k];
            if (left < 8) byte = static_cast<uint8_t>(byte & ((1u << left) - 1));
            out[k] = static_cast<uint8_t>(out[k] | (byte << offset));
            if (offset != 0 && (byte >> (8 - offset)) != 0)
                out[k + 1] = static_cast<uint8_t>(out[k + 1] | (byte >> (8 - offset)));
        }
    }

    static constexpr CseJtagTapState shiftState(Register reg) noexcept {
        return reg == Register::kIr ? CSEJTAG_SHIFT_IR : CSEJTAG_SHIFT_DR;
    }

    std::vector<uint8_t> tms_;
    std::vector<uint8_t> tdi_;
    uint32_t bits_ = 0;
    CseJtagTapState start_;
    CseJtagTapState state_;
};

}  // namespace CsePluginInterface
