// SPDX-License-Identifier: Apache-2.0
#include "sim/CortexDebugModel.h"

namespace quorbit {
namespace {

constexpr std::uint32_t kAircrKey = 0x05FA0000;
constexpr std::uint32_t kAircrKeyRead = 0xFA050000;
constexpr std::uint32_t kSystemResetRequest = 1u << 2;
constexpr std::uint32_t kDfsrBits = 0x1F;
constexpr std::uint32_t kRegisterWrite = 1u << 16;
constexpr std::uint32_t kRegisterSelect = 0x7F;
constexpr std::uint32_t kFpKey = 1u << 1;
// xPSR on ARMv6-M: N, Z, C, V, T and the exception number.
constexpr std::uint32_t kXpsrBits = 0xF100003F;
constexpr std::uint32_t kControlBits = 0x3;  // nPRIV, SPSEL
constexpr std::uint32_t kSpselBit = 0x2;

}  // namespace

bool CortexDebugModel::read(std::uint32_t address, std::uint32_t& value) {
    switch (address) {
        case kCpuid:
            value = kCpuidValue;
            return true;
        case kAircr:
            value = kAircrKeyRead;
            return true;
        case kDfsr:
            value = dfsr_;
            return true;
        case kDhcsr:
            value = readDhcsr();
            return true;
        case kDcrsr:
            value = 0;  // write-only
            return true;
        case kDcrdr:
            value = dcrdr_;
            return true;
        case kDemcr:
            value = demcr_;
            return true;
        case kDwtCtrl:
            value = 0;  // no comparators, no counters: ARMv6-M's DWT_CTRL reads zero
            return true;
        case kFpCtrl:
            value = fpCtrlEnable_;  // no comparators (NUM_CODE 0), revision 0
            return true;
        default:
            return false;
    }
}

bool CortexDebugModel::write(std::uint32_t address, std::uint32_t value) {
    switch (address) {
        case kAircr:
            if ((value & 0xFFFF0000) == kAircrKey && (value & kSystemResetRequest) != 0)
                resetRequested_ = true;
            return true;
        case kDfsr:
            dfsr_ &= ~(value & kDfsrBits);  // write one to clear
            return true;
        case kDhcsr:
            writeDhcsr(value);
            return true;
        case kDcrsr:
            transferRegister(value);
            return true;
        case kDcrdr:
            dcrdr_ = value;
            return true;
        case kDemcr:
            demcr_ = value & kDemcrBits;
            return true;
        case kFpCtrl:
            if ((value & kFpKey) != 0) fpCtrlEnable_ = value & 1u;
            return true;
        case kCpuid:
        case kDwtCtrl:
            return true;  // read-only
        default:
            return false;
    }
}

bool CortexDebugModel::takeResetRequest() {
    const bool requested = resetRequested_;
    resetRequested_ = false;
    return requested;
}

void CortexDebugModel::reset(std::uint32_t initialSp, std::uint32_t resetVector) {
    general_.fill(0);
    msp_ = initialSp & ~3u;
    psp_ = 0;
    lr_ = 0xFFFFFFFF;
    pc_ = resetVector & ~1u;
    xpsr_ = (resetVector & 1u) << 24;  // the vector's Thumb bit
    primask_ = 0;
    control_ = 0;
    wasReset_ = true;
    // A local reset keeps the debug registers: debugging stays enabled, a halt request stands.
    const bool debugging = (dhcsrControl_ & kDebugEnable) != 0;
    halted_ = false;
    if (debugging && (demcr_ & kCatchReset) != 0) {
        dfsr_ |= kVectorCaught;
        halt();
    } else if (debugging && (dhcsrControl_ & kHaltRequest) != 0) {
        halt();
    }
}

std::uint32_t CortexDebugModel::coreRegister(std::uint32_t regsel) const {
    if (regsel < general_.size()) return general_[regsel];
    switch (regsel) {
        case kSp:
            return usesProcessStack() ? psp_ : msp_;
        case kLr:
            return lr_;
        case kPc:
            return pc_;
        case kXpsr:
            return xpsr_;
        case kMsp:
            return msp_;
        case kPsp:
            return psp_;
        case kSpecial:
            return (control_ << 24) | primask_;
        default:
            return 0;  // no such register on this core
    }
}

std::uint32_t CortexDebugModel::readDhcsr() {
    std::uint32_t value = dhcsrControl_ | kRegisterReady;
    value |= halted_ ? kHalted : kRetired;  // a running core retires instructions
    if (wasReset_) value |= kWasReset;
    wasReset_ = false;  // S_RESET_ST and S_RETIRE_ST clear on reading
    return value;
}

void CortexDebugModel::writeDhcsr(std::uint32_t value) {
    if ((value & 0xFFFF0000) != kDebugKey) return;  // without the key a write does nothing
    const std::uint32_t control =
        value & (kDebugEnable | kHaltRequest | kStepRequest | kMaskInterrupts);
    if ((control & kDebugEnable) == 0) {
        dhcsrControl_ = 0;  // debugging off: the core leaves Debug state
        halted_ = false;
        return;
    }
    dhcsrControl_ = control;
    if ((control & kHaltRequest) != 0) {
        halt();
    } else if ((control & kStepRequest) != 0 && halted_) {
        // One instruction, then Debug state again: the core executes none, so only the halt.
        dfsr_ |= kHaltedReason;
        dhcsrControl_ |= kHaltRequest;
    } else {
        halted_ = false;
    }
}

void CortexDebugModel::halt() {
    if (!halted_) dfsr_ |= kHaltedReason;
    halted_ = true;
    dhcsrControl_ |= kHaltRequest;  // Debug state shows as C_HALT
}

void CortexDebugModel::transferRegister(std::uint32_t dcrsr) {
    if (!halted_) return;  // transfers work in Debug state only
    const std::uint32_t regsel = dcrsr & kRegisterSelect;
    if ((dcrsr & kRegisterWrite) != 0) {
        setCoreRegister(regsel, dcrdr_);
    } else {
        dcrdr_ = coreRegister(regsel);
    }
}

void CortexDebugModel::setCoreRegister(std::uint32_t regsel, std::uint32_t value) {
    if (regsel < general_.size()) {
        general_[regsel] = value;
        return;
    }
    switch (regsel) {
        case kSp:
            (usesProcessStack() ? psp_ : msp_) = value & ~3u;
            break;
        case kLr:
            lr_ = value;
            break;
        case kPc:
            pc_ = value & ~1u;
            break;
        case kXpsr:
            xpsr_ = value & kXpsrBits;
            break;
        case kMsp:
            msp_ = value & ~3u;
            break;
        case kPsp:
            psp_ = value & ~3u;
            break;
        case kSpecial:
            control_ = (value >> 24) & kControlBits;
            primask_ = value & 1u;
            break;
        default:
            break;  // no such register on this core
    }
}

bool CortexDebugModel::usesProcessStack() const {
    return (control_ & kSpselBit) != 0 && (xpsr_ & 0x3F) == 0;  // Thread mode only
}

}  // namespace quorbit
