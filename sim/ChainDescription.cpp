// SPDX-License-Identifier: Apache-2.0
// The built-in demo chain and the rules every chain has to satisfy.
#include <string>

#include "sim/BitBuffer.h"
#include "sim/ChainRules.h"
#include "sim/DebugPortDevice.h"
#include "sim/HexText.h"
#include "sim/QuorbitSim.h"

namespace quorbit {
namespace {

// Manufacturer field (bits 11..1 of an IDCODE) of the demo devices: bank 14 with the id 0x7F,
// which is the continuation code itself and so belongs to no manufacturer.
constexpr std::uint32_t kDemoManufacturer = 0x77F;

constexpr std::uint32_t makeIdcode(std::uint32_t version, std::uint32_t part) {
    return (version << 28) | (part << 12) | (kDemoManufacturer << 1) | 1u;
}

std::string deviceLabel(std::size_t index, const DeviceDescription& device) {
    return "device " + std::to_string(index) + " (" + device.name + ")";
}

// A JTAG-DP has its fixed instructions: IR 4 bits, IDCODE at 0xE, no other registers.
bool validDebugPort(const DeviceDescription& device, std::string& error) {
    if (device.irLength != DebugPortDevice::kIrLength || !device.idcode ||
        device.idcodeOpcode != DebugPortDevice::kIdcodeInstruction ||
        !device.userRegisters.empty()) {
        error = "a jtag-dp device has IR length 4, an IDCODE at opcode E and no user registers";
        return false;
    }
    const std::uint32_t ram = device.debugPort->ramBytes;
    if (ram < 1024 || ram > kMaxDebugRamBytes || ram % 1024 != 0) {
        error = "jtag-dp RAM of " + std::to_string(ram) + " bytes: 1K to 64M in whole KiB";
        return false;
    }
    return true;
}

}  // namespace

bool validateDevice(const DeviceDescription& device, std::string& error) {
    if (device.name.empty()) {
        error = "empty name";
        return false;
    }
    if (device.irLength < kMinIrLength || device.irLength > kMaxIrLength) {
        error = "IR length " + std::to_string(device.irLength) + " out of range " +
                std::to_string(kMinIrLength) + ".." + std::to_string(kMaxIrLength);
        return false;
    }
    const std::uint64_t bypass = lowBitMask(device.irLength);
    if (device.idcode) {
        if ((*device.idcode & 1u) == 0) {
            error = "IDCODE must have bit 0 set";
            return false;
        }
        if (device.idcodeOpcode > bypass) {
            error = "IDCODE opcode does not fit in the IR length";
            return false;
        }
        if (device.idcodeOpcode == bypass) {
            error = "IDCODE opcode is the all-ones BYPASS opcode";
            return false;
        }
    }
    if (device.debugPort && !validDebugPort(device, error)) return false;
    for (const auto& [opcode, width] : device.userRegisters) {
        const std::string which = "user register opcode " + hexText(opcode);
        if (opcode > bypass) {
            error = which + " does not fit in the IR length";
            return false;
        }
        if (opcode == bypass) {
            error = which + " is the all-ones BYPASS opcode";
            return false;
        }
        if (device.idcode && opcode == device.idcodeOpcode) {
            error = which + " is the IDCODE opcode";
            return false;
        }
        if (width < 1 || width > kMaxUserRegisterBits) {
            error = which + ": width " + std::to_string(width) + " out of range 1.." +
                    std::to_string(kMaxUserRegisterBits);
            return false;
        }
    }
    return true;
}

ChainDescription defaultDemoChain() {
    ChainDescription chain;
    DeviceDescription first;
    first.name = "orbis";
    first.irLength = 6;
    first.idcode = makeIdcode(0x1, 0x51C0);
    first.idcodeOpcode = 0x09;
    chain.devices.push_back(first);

    DeviceDescription middle;
    middle.name = "talpa";
    middle.irLength = 8;
    middle.idcode = makeIdcode(0x2, 0x7A31);
    middle.idcodeOpcode = 0x0E;
    middle.userRegisters = {{0x22, 24}, {0x23, 72}};
    chain.devices.push_back(middle);

    DeviceDescription last;
    last.name = "nerid";
    last.irLength = 4;
    chain.devices.push_back(last);
    return chain;
}

bool validateChain(const ChainDescription& chain, std::string& error) {
    if (chain.devices.empty()) {
        error = "no devices";
        return false;
    }
    if (chain.devices.size() > kMaxChainDevices) {
        error = "more than " + std::to_string(kMaxChainDevices) + " devices";
        return false;
    }
    std::uint64_t debugRam = 0;
    for (std::size_t i = 0; i < chain.devices.size(); ++i) {
        std::string what;
        if (!validateDevice(chain.devices[i], what)) {
            error = deviceLabel(i, chain.devices[i]) + ": " + what;
            return false;
        }
        if (chain.devices[i].debugPort) debugRam += chain.devices[i].debugPort->ramBytes;
    }
    // Every debug port's RAM is allocated: a chain file must not ask for more than one may have.
    if (debugRam > kMaxDebugRamBytes) {
        error = "the debug ports' RAM adds up to more than 64M";
        return false;
    }
    return true;
}

}  // namespace quorbit
