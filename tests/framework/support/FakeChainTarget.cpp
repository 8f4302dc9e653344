// SPDX-License-Identifier: Apache-2.0
#include "tests/framework/support/FakeChainTarget.h"

#include <utility>

namespace krvtest {
namespace {

constexpr uint32_t kIdCodeBits = 32;

uint64_t allOnes(uint32_t bitCount) {
    return bitCount >= 64 ? ~uint64_t{0} : (uint64_t{1} << bitCount) - 1u;
}

std::vector<uint8_t> copyOf(const uint8_t* buffer, uint32_t bitCount) {
    if (buffer == nullptr) return {};
    return std::vector<uint8_t>(buffer, buffer + (uint64_t{bitCount} + 7u) / 8u);
}

bool bitOf(const uint8_t* buffer, uint32_t bit) {
    return ((buffer[bit / 8u] >> (bit % 8u)) & 1u) != 0;
}

void setBit(uint8_t* buffer, uint32_t bit, bool value) {
    const uint8_t mask = static_cast<uint8_t>(1u << (bit % 8u));
    buffer[bit / 8u] =
        static_cast<uint8_t>(value ? buffer[bit / 8u] | mask : buffer[bit / 8u] & ~mask);
}

}  // namespace

FakeDevice FakeDevice::withIdCode(uint32_t irLength, uint32_t idCode) {
    FakeDevice device;
    device.irLength = irLength;
    device.idCode = idCode;
    return device;
}

FakeDevice FakeDevice::withoutIdCode(uint32_t irLength) {
    FakeDevice device;
    device.irLength = irLength;
    return device;
}

FakeChainTarget::FakeChainTarget(std::vector<FakeDevice> devices) {
    setDevices(std::move(devices));
}

void FakeChainTarget::setDevices(std::vector<FakeDevice> devices) {
    modelled.clear();
    for (FakeDevice& device : devices) {
        DeviceState state;
        for (const auto& [opcode, length] : device.userRegisters) {
            state.userContents[opcode].assign(length, 0);
        }
        state.device = std::move(device);
        modelled.push_back(std::move(state));
    }
    scanPath.clear();
    resetDevices();
    tapState.set(CSEJTAG_TEST_LOGIC_RESET);
}

void FakeChainTarget::setFailurePlan(const FailurePlan& plan) {
    failures = plan;
    initializeTAPCalls = navigateCalls = shiftIRCalls = shiftDRCalls = 0;
}

uint64_t FakeChainTarget::instruction(size_t device) const {
    return modelled.at(device).instruction;
}

uint64_t FakeChainTarget::userRegister(size_t device, uint64_t opcode) const {
    const std::vector<uint8_t>& bits = modelled.at(device).userContents.at(opcode);
    uint64_t value = 0;
    for (size_t k = 0; k < bits.size() && k < 64; ++k) value |= uint64_t{bits[k]} << k;
    return value;
}

CseResult FakeChainTarget::openTargetImpl(uint32_t argc, const char* const*, uint32_t, uint32_t) {
    calls.push_back("openTargetImpl(" + std::to_string(argc) + ")");
    return CSE_SUCCESS;
}

CseResult FakeChainTarget::closeTargetImpl() {
    calls.push_back("closeTargetImpl()");
    return CSE_SUCCESS;
}

CseResult FakeChainTarget::navigateTAPImpl(CseJtagTapState state, uint32_t count) {
    calls.push_back("navigateTAPImpl(" + std::to_string(state) + "," + std::to_string(count) + ")");
    if (failsNow(navigateCalls, failures.navigateCall)) return failures.code;
    if (!walkTo(state)) return CSE_FAILURE;
    for (uint32_t i = 0; i < count; ++i) clock(false, true);
    return CSE_SUCCESS;
}

CseResult FakeChainTarget::initializeTAPImpl() {
    calls.push_back("initializeTAPImpl()");
    if (failsNow(initializeTAPCalls, failures.initializeTAPCall)) return failures.code;
    // Six TMS ones reach Test-Logic-Reset from any state, however far off.
    for (int i = 0; i < 6; ++i) clock(true, true);
    return CSE_SUCCESS;
}

CseResult FakeChainTarget::shiftChainIRImpl(const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                                            const uint8_t* tdiAuxBuffer, uint8_t* tdoAuxBuffer,
                                            uint32_t bitCount, CseJtagTapState endState,
                                            uint32_t opaque1, uint32_t opaque2) {
    calls.push_back("shiftChainIRImpl(" + std::to_string(bitCount) + "," +
                    std::to_string(endState) + ")");
    shifts.push_back({true, bitCount, endState, tdoBuffer != nullptr, copyOf(tdiBuffer, bitCount),
                      copyOf(tdiAuxBuffer, bitCount), copyOf(tdoAuxBuffer, bitCount), opaque1,
                      opaque2});
    if (failsNow(shiftIRCalls, failures.shiftIRCall)) return failures.code;
    return shiftChain(true, tdiBuffer, tdoBuffer, bitCount, endState);
}

CseResult FakeChainTarget::shiftChainDRImpl(const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                                            const uint8_t* tdiAuxBuffer, uint8_t* tdoAuxBuffer,
                                            uint32_t bitCount, CseJtagTapState endState,
                                            uint32_t opaque1, uint32_t opaque2) {
    calls.push_back("shiftChainDRImpl(" + std::to_string(bitCount) + "," +
                    std::to_string(endState) + ")");
    shifts.push_back({false, bitCount, endState, tdoBuffer != nullptr, copyOf(tdiBuffer, bitCount),
                      copyOf(tdiAuxBuffer, bitCount), copyOf(tdoAuxBuffer, bitCount), opaque1,
                      opaque2});
    if (failsNow(shiftDRCalls, failures.shiftDRCall)) return failures.code;
    return shiftChain(false, tdiBuffer, tdoBuffer, bitCount, endState);
}

bool FakeChainTarget::failsNow(uint32_t& callsSoFar, uint32_t failingCall) {
    ++callsSoFar;
    return failingCall != 0 && callsSoFar == failingCall;
}

CseResult FakeChainTarget::shiftChain(bool instructionRegister, const uint8_t* tdiBuffer,
                                      uint8_t* tdoBuffer, uint32_t bitCount,
                                      CseJtagTapState endState) {
    const CseJtagTapState shiftState = instructionRegister ? CSEJTAG_SHIFT_IR : CSEJTAG_SHIFT_DR;
    if (!isValidTapState(endState)) return CSE_FAILURE;
    if (tapState.get() != shiftState && !walkTo(shiftState)) return CSE_FAILURE;
    for (uint32_t i = 0; i < bitCount; ++i) {
        // Read before write: tdiBuffer and tdoBuffer may be one buffer.
        const bool tdi = tdiBuffer == nullptr || bitOf(tdiBuffer, i);
        const bool leaves = i + 1 == bitCount && endState != shiftState;
        const bool tdo = clock(leaves, tdi);
        if (tdoBuffer != nullptr) setBit(tdoBuffer, i, tdo);
    }
    if (tapState.get() != endState && !walkTo(endState)) return CSE_FAILURE;
    return CSE_SUCCESS;
}

bool FakeChainTarget::walkTo(CseJtagTapState goal) {
    const CseJtagTapState from = tapState.get();
    if (!isValidTapState(goal) || !isValidTapState(from)) return false;
    const uint8_t path = tmsPathBits(from, goal);
    const uint32_t length = tmsPathLength(from, goal);
    for (uint32_t i = 0; i < length; ++i) clock(((path >> i) & 1u) != 0, true);
    return tapState.get() == goal;
}

bool FakeChainTarget::clock(bool tms, bool tdi) {
    bool tdo = true;  // an idle TDO reads high
    const CseJtagTapState now = tapState.get();
    if (now == CSEJTAG_SHIFT_DR || now == CSEJTAG_SHIFT_IR) {
        if (scanPath.empty()) {
            tdo = tdi;
        } else {
            tdo = scanPath.front() != 0;
            scanPath.pop_front();
            scanPath.push_back(tdi ? 1 : 0);
        }
    }
    enter(tapState.clock(tms));
    if (tdoFault == TdoFault::StuckAt0) return false;
    if (tdoFault == TdoFault::StuckAt1) return true;
    return tdo;
}

void FakeChainTarget::enter(CseJtagTapState state) {
    switch (state) {
        case CSEJTAG_TEST_LOGIC_RESET:
            resetDevices();
            break;
        case CSEJTAG_CAPTURE_IR:
            captureIR();
            break;
        case CSEJTAG_CAPTURE_DR:
            captureDR();
            break;
        case CSEJTAG_UPDATE_IR:
            updateIR();
            break;
        case CSEJTAG_UPDATE_DR:
            updateDR();
            break;
        default:
            break;
    }
}

void FakeChainTarget::resetDevices() {
    for (DeviceState& device : modelled) {
        select(device, device.device.idCode ? device.device.idcodeInstruction
                                            : allOnes(device.device.irLength));
    }
}

// Each IR captures ...01; the device nearest TDO comes out first.
void FakeChainTarget::captureIR() {
    scanPath.clear();
    for (auto device = modelled.rbegin(); device != modelled.rend(); ++device) {
        for (uint32_t k = 0; k < device->device.irLength; ++k) scanPath.push_back(k == 0 ? 1 : 0);
    }
}

void FakeChainTarget::captureDR() {
    scanPath.clear();
    for (auto device = modelled.rbegin(); device != modelled.rend(); ++device) {
        switch (device->selected) {
            case Register::Bypass:
                scanPath.push_back(0);
                break;
            case Register::IdCode:
                for (uint32_t k = 0; k < kIdCodeBits; ++k) {
                    scanPath.push_back(static_cast<uint8_t>((*device->device.idCode >> k) & 1u));
                }
                break;
            case Register::User: {
                const std::vector<uint8_t>& bits = device->userContents.at(device->instruction);
                scanPath.insert(scanPath.end(), bits.begin(), bits.end());
                break;
            }
        }
    }
}

// The instruction takes effect only now, at the end of the IR scan.
void FakeChainTarget::updateIR() {
    size_t offset = 0;
    for (auto device = modelled.rbegin(); device != modelled.rend(); ++device) {
        uint64_t instruction = 0;
        for (uint32_t k = 0; k < device->device.irLength && offset < scanPath.size(); ++k) {
            if (k < 64 && scanPath[offset] != 0) instruction |= uint64_t{1} << k;
            ++offset;
        }
        select(*device, instruction);
    }
}

void FakeChainTarget::updateDR() {
    size_t offset = 0;
    for (auto device = modelled.rbegin(); device != modelled.rend(); ++device) {
        const uint32_t length = selectedLength(*device);
        if (device->selected == Register::User) {
            std::vector<uint8_t>& bits = device->userContents.at(device->instruction);
            for (uint32_t k = 0; k < length && offset + k < scanPath.size(); ++k) {
                bits[k] = scanPath[offset + k];
            }
        }
        offset += length;
    }
}

uint32_t FakeChainTarget::selectedLength(const DeviceState& device) const {
    switch (device.selected) {
        case Register::IdCode:
            return kIdCodeBits;
        case Register::User:
            return device.device.userRegisters.at(device.instruction);
        case Register::Bypass:
            break;
    }
    return 1;
}

// All ones and every opcode the device does not know select BYPASS.
void FakeChainTarget::select(DeviceState& device, uint64_t instruction) {
    device.instruction = instruction;
    if (device.device.idCode && instruction == device.device.idcodeInstruction) {
        device.selected = Register::IdCode;
    } else if (device.device.userRegisters.count(instruction) != 0) {
        device.selected = Register::User;
    } else {
        device.selected = Register::Bypass;
    }
}

}  // namespace krvtest
