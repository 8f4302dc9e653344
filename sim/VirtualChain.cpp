// SPDX-License-Identifier: Apache-2.0
#include "sim/VirtualChain.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "sim/BitBuffer.h"

namespace quorbit {
namespace {

bool isShiftState(TapState state) {
    return state == TapState::ShiftDr || state == TapState::ShiftIr;
}

// Number of clocks from `first` on whose TMS is 0, at most `limit` (the stream's end).
std::uint64_t zeroTmsRun(const std::uint8_t* tms, std::uint64_t first, std::uint64_t limit) {
    if (tms == nullptr) return limit - first;
    std::uint64_t position = first;
    while (position < limit) {
        const unsigned count = static_cast<unsigned>(std::min<std::uint64_t>(64, limit - position));
        const std::uint64_t bits = readBits(tms, position, count);
        if (bits != 0) return position + static_cast<unsigned>(__builtin_ctzll(bits)) - first;
        position += count;
    }
    return limit - first;
}

// Next state by [state][tms], so the walk through non-shifting states is one load per clock.
using NextStateTable = std::array<std::array<TapState, 2>, kTapStateCount>;

NextStateTable makeNextStateTable() {
    NextStateTable table{};
    for (int state = 0; state < kTapStateCount; ++state) {
        table[state][0] = nextTapState(static_cast<TapState>(state), false);
        table[state][1] = nextTapState(static_cast<TapState>(state), true);
    }
    return table;
}

const NextStateTable kNextState = makeNextStateTable();

}  // namespace

VirtualChain::VirtualChain(const ChainDescription& description) {
    std::string error;
    if (!validateChain(description, error)) return;
    devices_.reserve(description.devices.size());
    for (const DeviceDescription& device : description.devices)
        devices_.push_back(makeDevice(device));
    runRegisters_.resize(devices_.size(), nullptr);
    heldBits_.resize(devices_.size() + 1, 0);
    nextValues_.resize(devices_.size(), 0);
    resetInstructions();
}

VirtualChain::Device VirtualChain::makeDevice(const DeviceDescription& description) {
    Device device;
    device.irLength = description.irLength;
    device.irMask = lowBitMask(description.irLength);
    device.ir.resize(description.irLength);
    device.hasIdcode = description.idcode.has_value();
    device.idcode = description.idcode.value_or(0);
    device.idcodeOpcode = description.idcodeOpcode;
    device.bypass.resize(1);
    device.idcodeShifter.resize(32);
    if (description.debugPort) {
        device.debugPort = std::make_unique<DebugPortDevice>(*description.debugPort);
        device.accessShifter.resize(DebugPortDevice::kAccessBits);
    }
    for (const auto& [opcode, width] : description.userRegisters) {
        UserRegister user;
        user.opcode = opcode;
        user.shifter.resize(width);
        user.value.assign(user.shifter.wordCount(), 0);
        device.users.push_back(std::move(user));
    }
    return device;
}

void VirtualChain::selectInstruction(Device& device, std::uint64_t opcode) {
    device.instruction = opcode & device.irMask;
    device.selected = DrKind::Bypass;
    if (device.instruction == device.irMask) return;  // all ones is always BYPASS
    if (device.hasIdcode && device.instruction == device.idcodeOpcode) {
        device.selected = DrKind::Idcode;
        return;
    }
    if (device.debugPort && DebugPortDevice::selectsAccessRegister(device.instruction)) {
        device.selected = DrKind::DebugPortAccess;
        return;
    }
    for (std::size_t i = 0; i < device.users.size(); ++i) {
        if (device.users[i].opcode == device.instruction) {
            device.selected = DrKind::User;
            device.selectedUser = i;
            return;
        }
    }
}

ShiftRegister& VirtualChain::selectedDr(Device& device) {
    switch (device.selected) {
        case DrKind::Idcode:
            return device.idcodeShifter;
        case DrKind::User:
            return device.users[device.selectedUser].shifter;
        case DrKind::DebugPortAccess:
            return device.accessShifter;
        case DrKind::Bypass:
            break;
    }
    return device.bypass;
}

const ShiftRegister& VirtualChain::selectedDr(const Device& device) {
    return selectedDr(const_cast<Device&>(device));
}

void VirtualChain::setBoardFaults(const BoardFaults& faults) {
    tdoFault_ = faults.tdo;
    openBefore_ = faults.openAfter ? *faults.openAfter + 1 : SIZE_MAX;
    for (const auto& [device, value] : faults.irCapture) {
        if (device < devices_.size()) devices_[device].irCapture = value & devices_[device].irMask;
    }
}

void VirtualChain::setDebugPortFaults(const DebugPortFaults& faults) {
    for (Device& device : devices_) {
        if (device.debugPort) device.debugPort->setFaults(faults);
    }
}

DebugPortDevice* VirtualChain::debugPort(std::size_t device) {
    return device < devices_.size() ? devices_[device].debugPort.get() : nullptr;
}

bool VirtualChain::faultyTdo(bool driven, bool tdi) const {
    switch (tdoFault_) {
        case BoardFaults::Tdo::StuckLow:
            return false;
        case BoardFaults::Tdo::StuckHigh:
            return true;
        case BoardFaults::Tdo::EchoesTdi:
            return tdi;
        case BoardFaults::Tdo::Driven:
            break;
    }
    return driven;
}

// What the TDO pin shows of a stream the chain produced, under a TDO fault.
void VirtualChain::overrideTdo(std::uint64_t firstBit, std::uint64_t count, const std::uint8_t* tdi,
                               std::uint8_t* tdo) const {
    if (tdo == nullptr || tdoFault_ == BoardFaults::Tdo::Driven) return;
    for (std::uint64_t bit = firstBit; bit < firstBit + count; ++bit) {
        setBitAt(tdo, bit, faultyTdo(false, tdi != nullptr && bitAt(tdi, bit)));
    }
}

bool VirtualChain::tdo() const {
    if (tdoFault_ != BoardFaults::Tdo::Driven) return faultyTdo(true, lastTdi_);
    // Open after the last device: the line to the TDO pin itself is open and pulled high.
    if (devices_.empty() || openBefore_ == devices_.size()) return true;
    const Device& last = devices_.back();
    if (state_ == TapState::ShiftDr) return selectedDr(last).outBit();
    if (state_ == TapState::ShiftIr) return last.ir.outBit();
    return true;
}

bool VirtualChain::clock(bool tms, bool tdi) {
    lastTdi_ = tdi;
    const bool out = tdo();
    if (state_ == TapState::ShiftDr || state_ == TapState::ShiftIr) {
        const bool dr = state_ == TapState::ShiftDr;
        std::uint64_t bit = tdi ? 1 : 0;
        for (std::size_t i = 0; i < devices_.size(); ++i) {
            if (i == openBefore_) bit = 1;
            bit = (dr ? selectedDr(devices_[i]) : devices_[i].ir).shift(bit, 1);
        }
    }
    enterState(nextTapState(state_, tms));
    return out;
}

void VirtualChain::shift(std::uint64_t bitCount, const std::uint8_t* tms, const std::uint8_t* tdi,
                         std::uint8_t* tdo, bool lastTmsHigh) {
    // The stream's own TMS bits cover [0, tmsLimit); a forced last clock is handled on its own.
    const std::uint64_t tmsLimit = (lastTmsHigh && bitCount > 0) ? bitCount - 1 : bitCount;
    std::uint64_t bit = 0;
    while (bit < bitCount) {
        if (isShiftState(state_) && bit < tmsLimit) {
            const std::uint64_t run = zeroTmsRun(tms, bit, tmsLimit);
            if (run > 0) {
                // Under a TDO fault the chain's own output is not wanted (tdo may be tdi).
                const bool driven = tdoFault_ == BoardFaults::Tdo::Driven;
                shiftRun(bit, run, tdi, driven ? tdo : nullptr);
                overrideTdo(bit, run, tdi, tdo);
                bit += run;
                continue;
            }
        }
        if (!isShiftState(state_)) {
            bit = walk(bit, bitCount, tmsLimit, tms, tdi, tdo, lastTmsHigh);
            continue;
        }
        const bool tmsBit = bit >= tmsLimit ? (lastTmsHigh || (tms != nullptr && bitAt(tms, bit)))
                                            : (tms != nullptr && bitAt(tms, bit));
        const bool out = clock(tmsBit, tdi != nullptr && bitAt(tdi, bit));
        if (tdo != nullptr) setBitAt(tdo, bit, out);
        ++bit;
    }
}

// Clocks outside Shift-DR/Shift-IR move no register: TDO is the idle level, and only a change of
// state has work to do. Stops at the first clock that enters a shift state, or at the end.
std::uint64_t VirtualChain::walk(std::uint64_t bit, std::uint64_t bitCount, std::uint64_t tmsLimit,
                                 const std::uint8_t* tms, const std::uint8_t* tdi,
                                 std::uint8_t* tdo, bool lastTmsHigh) {
    const bool driven = tdoFault_ == BoardFaults::Tdo::Driven;
    bool tdiBit = lastTdi_;
    while (bit < bitCount) {
        const bool tmsBit = (bit >= tmsLimit && lastTmsHigh) || (tms != nullptr && bitAt(tms, bit));
        tdiBit = tdi != nullptr && bitAt(tdi, bit);
        if (tdo != nullptr) setBitAt(tdo, bit, driven || faultyTdo(true, tdiBit));
        ++bit;
        const TapState next = kNextState[static_cast<std::size_t>(state_)][tmsBit ? 1 : 0];
        // Staying in a state repeats nothing (Test-Logic-Reset's reset is idempotent).
        if (next == state_) continue;
        enterState(next);
        if (isShiftState(state_)) break;
    }
    lastTdi_ = tdiBit;
    return bit;
}

void VirtualChain::shiftRun(std::uint64_t firstBit, std::uint64_t count, const std::uint8_t* tdi,
                            std::uint8_t* tdo) {
    const bool dr = state_ == TapState::ShiftDr;
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        runRegisters_[i] = dr ? &selectedDr(devices_[i]) : &devices_[i].ir;
    }
    if (openBefore_ == SIZE_MAX && shiftRunAsDelayLine(firstBit, count, tdi, tdo)) return;
    std::uint64_t done = 0;
    while (done < count) {
        const unsigned step = static_cast<unsigned>(std::min<std::uint64_t>(64, count - done));
        std::uint64_t bits = tdi != nullptr ? readBits(tdi, firstBit + done, step) : 0;
        for (std::size_t i = 0; i < runRegisters_.size(); ++i) {
            if (i == openBefore_) bits = ~std::uint64_t{0} >> (64 - step);
            bits =
                step == 64 ? runRegisters_[i]->shift64(bits) : runRegisters_[i]->shift(bits, step);
        }
        if (openBefore_ == runRegisters_.size()) bits = ~std::uint64_t{0} >> (64 - step);
        if (tdo != nullptr) writeBits(tdo, firstBit + done, step, bits);
        done += step;
    }
}

// Within a run the registers in series are one delay line: the bits they hold come out first
// (the device nearest TDO first), then the input, and they keep the last bits that went in. So
// a long run is a copy of the input stream moved by the line's length, at word speed.
bool VirtualChain::shiftRunAsDelayLine(std::uint64_t firstBit, std::uint64_t count,
                                       const std::uint8_t* tdi, std::uint8_t* tdo) {
    std::uint64_t lineBits = 0;
    for (const ShiftRegister* reg : runRegisters_) {
        if (reg->width() > 64) return false;
        lineBits += reg->width();
    }
    if (lineBits == 0 || count < lineBits) return false;
    // What the line holds, in the order it leaves, and what each register keeps afterwards;
    // both read before any TDO bit is written, as tdo may be the tdi buffer itself.
    std::uint64_t offset = 0;
    for (std::size_t k = runRegisters_.size(); k-- > 0;) {
        const unsigned width = runRegisters_[k]->width();
        writeWordBits(heldBits_.data(), offset, width, runRegisters_[k]->value());
        const std::uint64_t kept = firstBit + count - lineBits + offset;
        nextValues_[k] = tdi != nullptr ? readBits(tdi, kept, width) : 0;
        offset += width;
    }
    if (tdo != nullptr) {
        // Backwards, so that in place no input bit is overwritten before it is read.
        std::uint64_t remaining = count - lineBits;
        while (remaining > 0) {
            const auto take = static_cast<unsigned>(remaining % 64 != 0 ? remaining % 64 : 64);
            remaining -= take;
            const std::uint64_t bits =
                tdi != nullptr ? readBits(tdi, firstBit + remaining, take) : 0;
            writeBits(tdo, firstBit + lineBits + remaining, take, bits);
        }
        for (std::uint64_t done = 0; done < lineBits; done += 64) {
            const auto take = static_cast<unsigned>(std::min<std::uint64_t>(64, lineBits - done));
            writeBits(tdo, firstBit + done, take, readWordBits(heldBits_.data(), done, take));
        }
    }
    for (std::size_t k = 0; k < runRegisters_.size(); ++k)
        runRegisters_[k]->loadValue(nextValues_[k]);
    return true;
}

void VirtualChain::enterState(TapState next) {
    const TapState previous = state_;
    state_ = next;
    switch (next) {
        case TapState::TestLogicReset:
            resetInstructions();
            break;
        case TapState::CaptureDr:
            captureDr();
            break;
        case TapState::CaptureIr:
            for (Device& device : devices_) device.ir.loadValue(device.irCapture);
            break;
        case TapState::UpdateDr:
            updateDr();
            break;
        case TapState::UpdateIr:
            for (Device& device : devices_) selectInstruction(device, device.ir.value());
            break;
        default:
            break;
    }
    if (listener_ && previous != next) listener_(previous, next);
}

void VirtualChain::captureDr() {
    for (Device& device : devices_) {
        switch (device.selected) {
            case DrKind::Bypass:
                device.bypass.loadValue(0);
                break;
            case DrKind::Idcode:
                device.idcodeShifter.loadValue(device.idcode);
                break;
            case DrKind::User: {
                UserRegister& user = device.users[device.selectedUser];
                user.shifter.load(user.value.data());
                break;
            }
            case DrKind::DebugPortAccess:
                device.accessShifter.loadValue(device.debugPort->capture(device.instruction));
                break;
        }
    }
}

void VirtualChain::updateDr() {
    for (Device& device : devices_) {
        if (device.selected == DrKind::DebugPortAccess)
            device.debugPort->update(device.instruction, device.accessShifter.value());
        if (device.selected != DrKind::User) continue;
        UserRegister& user = device.users[device.selectedUser];
        user.shifter.store(user.value.data());
    }
}

void VirtualChain::resetInstructions() {
    for (Device& device : devices_) {
        selectInstruction(device, device.hasIdcode ? device.idcodeOpcode : device.irMask);
    }
}

void VirtualChain::resetAsync() {
    const TapState previous = state_;
    state_ = TapState::TestLogicReset;
    resetInstructions();
    if (listener_ && previous != state_) listener_(previous, state_);
}

std::uint64_t VirtualChain::instruction(std::size_t device) const {
    return device < devices_.size() ? devices_[device].instruction : 0;
}

bool VirtualChain::userRegister(std::size_t device, std::uint64_t opcode,
                                std::vector<std::uint8_t>& bits) const {
    if (device >= devices_.size()) return false;
    for (const UserRegister& user : devices_[device].users) {
        if (user.opcode != opcode) continue;
        const unsigned width = user.shifter.width();
        bits.assign(bytesForBits(width), 0);
        for (unsigned k = 0; k < width; ++k) {
            setBitAt(bits.data(), k, ((user.value[k / 64] >> (k % 64)) & 1u) != 0);
        }
        return true;
    }
    return false;
}

void VirtualChain::setTransitionListener(std::function<void(TapState, TapState)> listener) {
    listener_ = std::move(listener);
}

}  // namespace quorbit
