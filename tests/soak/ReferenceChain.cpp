// SPDX-License-Identifier: Apache-2.0
#include "ReferenceChain.h"

namespace soak {

ReferenceChain::ReferenceChain(std::vector<ModelDevice> devices) {
    for (ModelDevice& model : devices) {
        Device device;
        device.mask = model.irLength >= 64 ? ~uint64_t{0} : (uint64_t{1} << model.irLength) - 1;
        device.ir.assign(model.irLength, 0);
        for (const auto& [opcode, width] : model.userRegisters) {
            UserRegister user;
            user.opcode = opcode;
            user.shifter.assign(width, 0);
            user.held.assign(width, 0);  // a fresh chain holds zeros
            device.users.push_back(std::move(user));
        }
        for (uint32_t bit = 0; bit < 32; ++bit) device.idcode[bit] = (model.idcode >> bit) & 1u;
        device.model = std::move(model);
        devices_.push_back(std::move(device));
    }
    resetInstructions();
}

Trit ReferenceChain::clock(bool tms, bool tdi) {
    Trit tdo = kUnknown;
    if (state_ == Tap::ShiftDr || state_ == Tap::ShiftIr) {
        const uint8_t in = tdi ? 1 : 0;
        tdo = shift(1, &in, false).front();
    }
    enter(nextTap(state_, tms));
    return tdo;
}

void ReferenceChain::walkTo(Tap goal) {
    for (const bool tms : navigationWalk(state_, goal)) (void)clock(tms, false);
}

std::vector<Trit> ReferenceChain::shift(uint64_t bitCount, const uint8_t* tdi, bool lastTmsHigh) {
    // The path's bits from the TDO end, then the TDI bits: the first bitCount of this stream come
    // out of TDO and the last pathLength stay in the registers.
    const bool instructionPath = state_ == Tap::ShiftIr;
    std::vector<std::vector<Trit>*> registers = path(instructionPath);
    std::vector<Trit> stream;
    for (const std::vector<Trit>* reg : registers)
        stream.insert(stream.end(), reg->begin(), reg->end());
    stream.reserve(stream.size() + bitCount);
    for (uint64_t k = 0; k < bitCount; ++k) {
        stream.push_back(tdi != nullptr && bufferBit(tdi, k) ? 1 : 0);
    }
    std::vector<Trit> tdo(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(bitCount));
    size_t at = bitCount;
    for (std::vector<Trit>* reg : registers) {
        for (Trit& bit : *reg) bit = stream[at++];
    }
    if (lastTmsHigh && bitCount > 0) enter(nextTap(state_, true));
    return tdo;
}

void ReferenceChain::forgetUserRegisters() {
    for (Device& device : devices_) {
        for (UserRegister& user : device.users) {
            user.held.assign(user.held.size(), kUnknown);
            user.shifter.assign(user.shifter.size(), kUnknown);
        }
    }
}

size_t ReferenceChain::drPathLength() const {
    size_t length = 0;
    for (const Device& device : devices_) {
        switch (device.selected) {
            case Selected::Bypass:
                length += 1;
                break;
            case Selected::Idcode:
                length += 32;
                break;
            case Selected::User:
                length += device.users[device.user].shifter.size();
                break;
        }
    }
    return length;
}

size_t ReferenceChain::irPathLength() const {
    size_t length = 0;
    for (const Device& device : devices_) length += device.model.irLength;
    return length;
}

void ReferenceChain::enter(Tap next) {
    state_ = next;
    switch (next) {
        case Tap::Reset:
            resetInstructions();
            break;
        case Tap::CaptureIr:
            // Every instruction register captures ...01.
            for (Device& device : devices_) {
                device.ir.assign(device.ir.size(), 0);
                device.ir[0] = 1;
            }
            break;
        case Tap::UpdateIr:
            for (Device& device : devices_) select(device, valueOf(device.ir));
            break;
        case Tap::CaptureDr:
            for (Device& device : devices_) {
                if (device.selected == Selected::Bypass) device.bypass[0] = 0;
                if (device.selected == Selected::Idcode) {
                    for (uint32_t bit = 0; bit < 32; ++bit) {
                        device.idcode[bit] = (device.model.idcode >> bit) & 1u;
                    }
                }
                if (device.selected == Selected::User) {
                    UserRegister& user = device.users[device.user];
                    user.shifter = user.held;
                }
            }
            break;
        case Tap::UpdateDr:
            for (Device& device : devices_) {
                if (device.selected != Selected::User) continue;
                UserRegister& user = device.users[device.user];
                user.held = user.shifter;
            }
            break;
        default:
            break;
    }
}

void ReferenceChain::resetInstructions() {
    for (Device& device : devices_) {
        select(device, device.model.hasIdcode ? device.model.idcodeOpcode : device.mask);
    }
}

void ReferenceChain::select(Device& device, uint64_t opcode) {
    device.instruction = opcode & device.mask;
    device.selected = Selected::Bypass;
    if (device.instruction == device.mask) return;
    if (device.model.hasIdcode && device.instruction == device.model.idcodeOpcode) {
        device.selected = Selected::Idcode;
        return;
    }
    for (size_t i = 0; i < device.users.size(); ++i) {
        if (device.users[i].opcode != device.instruction) continue;
        device.selected = Selected::User;
        device.user = i;
        return;
    }
}

std::vector<Trit>& ReferenceChain::drOf(Device& device) {
    switch (device.selected) {
        case Selected::Idcode:
            return device.idcode;
        case Selected::User:
            return device.users[device.user].shifter;
        case Selected::Bypass:
            break;
    }
    return device.bypass;
}

uint64_t ReferenceChain::valueOf(const std::vector<Trit>& bits) {
    uint64_t value = 0;
    for (size_t bit = 0; bit < bits.size() && bit < 64; ++bit) {
        if (bits[bit] == 1) value |= uint64_t{1} << bit;
    }
    return value;
}

std::vector<std::vector<Trit>*> ReferenceChain::path(bool instructionPath) {
    std::vector<std::vector<Trit>*> registers;
    for (size_t i = devices_.size(); i-- > 0;) {
        registers.push_back(instructionPath ? &devices_[i].ir : &drOf(devices_[i]));
    }
    return registers;
}

}  // namespace soak
