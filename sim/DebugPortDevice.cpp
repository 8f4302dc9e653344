// SPDX-License-Identifier: Apache-2.0
#include "sim/DebugPortDevice.h"

namespace quorbit {
namespace {

constexpr std::uint32_t kStickyBits = DebugPortDevice::kStickyOverrun |
                                      DebugPortDevice::kStickyCompare |
                                      DebugPortDevice::kStickyError;
// Read-write bits of CTRL/STAT: ORUNDETECT, TRNMODE, MASKLANE, TRNCNT and the requests.
constexpr std::uint32_t kCtrlStatWritable = 0x00FFFF0D | DebugPortDevice::kDebugResetRequest |
                                            DebugPortDevice::kDebugPowerRequest |
                                            DebugPortDevice::kSystemPowerRequest;
constexpr std::uint32_t kDapAbort = 1u << 0;
constexpr unsigned kApSelectShift = 24;
constexpr std::uint32_t kApBankMask = 0xF0;

}  // namespace

DebugPortDevice::DebugPortDevice(const DebugPortDescription& description)
    : memory_(description.ramBytes) {}

bool DebugPortDevice::selectsAccessRegister(std::uint64_t instruction) {
    return instruction == kAbort || instruction == kDpAccess || instruction == kApAccess;
}

std::uint32_t DebugPortDevice::ctrlStat() const {
    std::uint32_t value = ctrlStat_;
    // Each acknowledgement follows its request at once (the bit above the request).
    value |= (ctrlStat_ & (kDebugResetRequest | kDebugPowerRequest | kSystemPowerRequest)) << 1;
    return value;
}

std::uint64_t DebugPortDevice::capture(std::uint64_t instruction) {
    dropUpdate_ = false;
    if (instruction == kAbort) return kAckOk;  // ABORT is taken even while the AP is busy
    // A busy AP holds off the next AP accesses; the DP's own registers stay reachable (a read
    // keeps its result, so RDBUFF has it at once).
    if (instruction == kApAccess && busyScans_ > 0) {
        --busyScans_;
        dropUpdate_ = true;
        return kAckWait;
    }
    return (std::uint64_t{readResult_} << 3) | kAckOk;
}

void DebugPortDevice::update(std::uint64_t instruction, std::uint64_t bits) {
    const auto data = static_cast<std::uint32_t>(bits >> 3);
    if (instruction == kAbort) {
        if ((data & kDapAbort) != 0) busyScans_ = 0;
        return;
    }
    if (dropUpdate_) {
        // The scan that saw WAIT: its request is not taken.
        if ((ctrlStat_ & kOverrunDetect) != 0) ctrlStat_ |= kStickyOverrun;
        return;
    }
    const bool read = (bits & 1) != 0;
    const auto address = static_cast<std::uint32_t>((bits >> 1) & 0x3) << 2;
    if (instruction == kDpAccess) {
        dpAccess(read, address, data);
    } else {
        apAccess(read, address, data);
    }
}

void DebugPortDevice::dpAccess(bool read, std::uint32_t address, std::uint32_t data) {
    if (read) {
        switch (address) {
            case kCtrlStat:
                readResult_ = ctrlStat();
                break;
            case kSelect:
                readResult_ = select_;
                break;
            case kRdBuff:
                break;  // starts nothing: the last read's result stays for the next capture
            default:
                readResult_ = 0;  // DPIDR: none (a DPv0 port)
                break;
        }
        return;
    }
    if (address == kCtrlStat) writeCtrlStat(data);
    if (address == kSelect) select_ = data;
}

void DebugPortDevice::writeCtrlStat(std::uint32_t value) {
    const std::uint32_t cleared = value & kStickyBits;  // write one to clear
    ctrlStat_ = (ctrlStat_ & ~kCtrlStatWritable & ~cleared) | (value & kCtrlStatWritable);
}

void DebugPortDevice::apAccess(bool read, std::uint32_t address, std::uint32_t data) {
    if ((ctrlStat_ & (kStickyError | kStickyOverrun)) != 0) return;  // dropped until cleared
    ++apAccesses_;
    if (faults_.waitEvery != 0 && apAccesses_ % faults_.waitEvery == 0)
        busyScans_ = faults_.waitScans;
    if ((ctrlStat() & kDebugPowerAck) == 0) {
        ctrlStat_ |= kStickyError;  // the AP is in the unpowered debug domain
        return;
    }
    if ((select_ >> kApSelectShift) != 0) {
        if (read) readResult_ = 0;  // no such AP: reads zero, writes are ignored
        return;
    }
    const std::uint32_t reg = (select_ & kApBankMask) | address;
    std::uint32_t busAddress = 0;
    if (accessPort_.busAddress(reg, busAddress) && busFault(busAddress)) {
        ctrlStat_ |= kStickyError;
        return;
    }
    std::uint32_t value = 0;
    const bool done = read ? accessPort_.read(reg, value) : accessPort_.write(reg, data);
    if (read && done) readResult_ = value;
    if (!done) ctrlStat_ |= kStickyError;  // a bus error
}

bool DebugPortDevice::busFault(std::uint32_t address) {
    if (!stickyFaultDone_ && faults_.stickyErrorAt && *faults_.stickyErrorAt == address) {
        stickyFaultDone_ = true;
        return true;
    }
    if (!powerFaultDone_ && faults_.powerLostAt && *faults_.powerLostAt == address) {
        powerFaultDone_ = true;
        // The debug domain went down: its requests and acknowledgements are gone.
        ctrlStat_ &= ~(kDebugPowerRequest | kSystemPowerRequest | kDebugResetRequest);
        return true;
    }
    return false;
}

}  // namespace quorbit
