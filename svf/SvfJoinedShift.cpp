// SPDX-License-Identifier: Apache-2.0
#include "svf/SvfJoinedShift.h"

#include "koraven-cse-plugin/CseTapWalk.h"

namespace csesvf {

using namespace CsePluginInterface;

namespace {

CseJtagTapState shiftStateOf(bool instruction) {
    return instruction ? CSEJTAG_SHIFT_IR : CSEJTAG_SHIFT_DR;
}

CseJtagTapState exitStateOf(bool instruction) {
    return instruction ? CSEJTAG_EXIT1_IR : CSEJTAG_EXIT1_DR;
}

}  // namespace

CseJtagTapState JoinedShift::stateAfter(CseJtagTapState current) const {
    return bits_ == 0 ? current : end_;
}

void JoinedShift::push(bool tms, bool tdi) {
    if (bits_ % 8 == 0) {
        tms_.push_back(0);
        tdi_.push_back(0);
    }
    const auto mask = static_cast<uint8_t>(1u << (bits_ % 8));
    if (tms) tms_.back() = static_cast<uint8_t>(tms_.back() | mask);
    if (tdi) tdi_.back() = static_cast<uint8_t>(tdi_.back() | mask);
    ++bits_;
}

void JoinedShift::pushWalk(CseJtagTapState from, CseJtagTapState to) {
    const CseTmsWalk walk = cseWalkTms(from, to);
    for (uint32_t k = 0; k < walk.length; ++k) push(((walk.bits >> k) & 1u) != 0, false);
    end_ = to;
}

void JoinedShift::addRunTest(CseJtagTapState from, CseJtagTapState run, uint32_t clocks,
                             CseJtagTapState end) {
    end_ = from;
    // Entering the run state clocks nothing in it; every clock after that is one in it.
    if (from != run) pushWalk(from, run);
    for (uint32_t k = 0; k < clocks; ++k) push(false, false);
    if (end != run) pushWalk(run, end);
    end_ = end;
}

uint32_t JoinedShift::scanBits(CseJtagTapState from, bool instruction, uint32_t bitCount,
                               CseJtagTapState end) {
    const CseJtagTapState shift = shiftStateOf(instruction);
    const uint32_t in = from == shift ? 0 : cseWalkTms(from, shift).length;
    const CseJtagTapState after = end == shift ? shift : exitStateOf(instruction);
    const uint32_t out = end == after ? 0 : cseWalkTms(after, end).length;
    return in + bitCount + out;
}

uint32_t JoinedShift::addScan(CseJtagTapState from, bool instruction, const uint8_t* tdi,
                              uint32_t bitCount, CseJtagTapState end) {
    const CseJtagTapState shift = shiftStateOf(instruction);
    if (from != shift) pushWalk(from, shift);
    const uint32_t dataAt = bits_;
    const bool stays = end == shift;
    for (uint32_t k = 0; k < bitCount; ++k) {
        const bool lastLeaves = k + 1 == bitCount && !stays;
        push(lastLeaves, tdi != nullptr && ((tdi[k / 8] >> (k % 8)) & 1u) != 0);
    }
    end_ = stays ? shift : exitStateOf(instruction);
    if (end != end_) pushWalk(end_, end);
    return dataAt;
}

std::vector<uint8_t> JoinedShift::takeCommandInput() {
    std::vector<uint8_t> input = {static_cast<uint8_t>(bits_), static_cast<uint8_t>(bits_ >> 8),
                                  static_cast<uint8_t>(bits_ >> 16),
                                  static_cast<uint8_t>(bits_ >> 24)};
    input.insert(input.end(), tms_.begin(), tms_.end());
    input.insert(input.end(), tdi_.begin(), tdi_.end());
    tms_.clear();
    tdi_.clear();
    bits_ = 0;
    return input;
}

}  // namespace csesvf
