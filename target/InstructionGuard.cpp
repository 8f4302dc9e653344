// SPDX-License-Identifier: Apache-2.0
#include "target/InstructionGuard.h"

#include "koraven-cse-plugin/CseTapWalk.h"

namespace CsePluginInterface {
namespace {

bool tmsAt(const uint8_t* tms, uint32_t bit) {
    return ((tms[bit / 8] >> (bit % 8)) & 1u) != 0;
}

}  // namespace

void InstructionGuard::reset(CseJtagTapState state) noexcept {
    knowledge_ = Knowledge::Known;
    loadedBits_ = 0;
    at_ = state;
}

void InstructionGuard::recovered(CseJtagTapState state) noexcept {
    knowledge_ = Knowledge::Lost;
    loadedBits_ = 0;
    at_ = state;
}

bool InstructionGuard::clock(bool tms, uint32_t irPathBits) noexcept {
    const CseJtagTapState from = at_;
    at_ = cseNextTapState(from, tms);
    if (from == CSEJTAG_SHIFT_IR && knowledge_ == Knowledge::Loading) ++loadedBits_;
    switch (at_) {
        case CSEJTAG_TEST_LOGIC_RESET:
            knowledge_ = Knowledge::Known;
            break;
        case CSEJTAG_CAPTURE_IR:
            if (knowledge_ != Knowledge::Known) {
                knowledge_ = Knowledge::Loading;
                loadedBits_ = 0;
            }
            break;
        case CSEJTAG_UPDATE_IR:
            if (knowledge_ == Knowledge::Loading) {
                knowledge_ = irPathBits != 0 && loadedBits_ >= irPathBits ? Knowledge::Known
                                                                          : Knowledge::Lost;
            }
            break;
        case CSEJTAG_CAPTURE_DR:
            return knowledge_ == Knowledge::Known;
        default:
            break;
    }
    return true;
}

bool InstructionGuard::startsInDrColumn() const noexcept {
    return at_ >= CSEJTAG_CAPTURE_DR && at_ <= CSEJTAG_EXIT2_DR;
}

void InstructionGuard::followStream(const uint8_t* tms, uint32_t bitCount,
                                    uint32_t irPathBits) noexcept {
    for (uint32_t bit = 0; bit < bitCount; ++bit) (void)clock(tmsAt(tms, bit), irPathBits);
}

void InstructionGuard::followShift(uint32_t bitCount, bool leaves, uint32_t irPathBits) noexcept {
    if (bitCount == 0) return;
    // TMS 0 keeps a shift state, so only its count matters until the last clock.
    if (at_ == CSEJTAG_SHIFT_IR && knowledge_ == Knowledge::Loading) loadedBits_ += bitCount - 1;
    if (at_ != CSEJTAG_SHIFT_IR && at_ != CSEJTAG_SHIFT_DR) {
        for (uint32_t bit = 0; bit + 1 < bitCount; ++bit) (void)clock(false, irPathBits);
    }
    (void)clock(leaves, irPathBits);
}

bool InstructionGuard::admitsStream(const uint8_t* tms, uint32_t bitCount,
                                    uint32_t irPathBits) const noexcept {
    InstructionGuard course = *this;
    if (!known() && startsInDrColumn()) return false;
    for (uint32_t bit = 0; bit < bitCount; ++bit) {
        if (!course.clock(tmsAt(tms, bit), irPathBits)) return false;
    }
    return true;
}

bool InstructionGuard::walk(CseJtagTapState goal, uint32_t irPathBits) noexcept {
    if (at_ == goal) return true;  // the shifts walk only where they are not yet
    const CseTmsWalk path = cseWalkTms(at_, goal);
    for (uint32_t k = 0; k < path.length; ++k) {
        if (!clock(((path.bits >> k) & 1u) != 0, irPathBits)) return false;
    }
    return true;
}

bool InstructionGuard::admitsChainShift(CseJtagTapState shift, uint32_t bitCount,
                                        CseJtagTapState end, uint32_t irPathBits) const noexcept {
    InstructionGuard course = *this;
    // An IR shift's walk out of the DR column is a navigation and hands no DR bit to the host; a
    // DR shift's data would. From elsewhere, Shift-DR lies behind Capture-DR.
    if (!known() && shift == CSEJTAG_SHIFT_DR && startsInDrColumn()) return false;
    if (!course.walk(shift, irPathBits)) return false;
    if (bitCount != 0) course.followShift(bitCount, end != shift, irPathBits);
    return course.walk(end, irPathBits);
}

}  // namespace CsePluginInterface
