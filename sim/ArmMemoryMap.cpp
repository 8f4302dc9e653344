// SPDX-License-Identifier: Apache-2.0
#include "sim/ArmMemoryMap.h"

#include <array>

#include "sim/QuorbitSim.h"

namespace quorbit {
namespace {

constexpr std::uint32_t kPeripheralBusBase = 0xE0000000;
constexpr std::uint32_t kPeripheralBusEnd = 0xE0100000;
constexpr std::uint32_t kBlockMask = 0xFFFFF000;
constexpr std::uint32_t kIdentificationOffset = 0xFD0;
constexpr std::uint32_t kMemTypeOffset = 0xFCC;

// The CoreSight components of the Private Peripheral Bus: where they are, a made-up part number
// and their class (1: ROM table, 0xE: generic IP). The designer is the demo chain's made-up JEDEC
// code (continuation 14, id 0x7F: the continuation code itself), so no real part is claimed.
struct Component {
    std::uint32_t base;
    std::uint32_t part;
    std::uint32_t componentClass;
};
constexpr std::array<Component, 4> kComponents = {{
    {ArmMemoryMap::kRomTable, 0x4C1, 0x1},
    {0xE000E000, 0x4C2, 0xE},  // System Control Space: the core's debug registers
    {0xE0001000, 0x4C3, 0xE},  // DWT
    {0xE0002000, 0x4C4, 0xE},  // breakpoint unit
}};
constexpr std::uint32_t kDesignerContinuation = 0xE;
constexpr std::uint32_t kDesignerId = 0x7F;

// ROM table entries: the offset of each other component from the table, present, 32-bit format.
constexpr std::uint32_t romEntry(std::uint32_t base) {
    return (base - ArmMemoryMap::kRomTable) | 0x3;
}

// PIDR4..PIDR7, PIDR0..PIDR3, CIDR0..CIDR3 at 0xFD0..0xFFC of a component's block.
std::uint32_t identification(const Component& component, std::uint32_t offset) {
    switch (offset) {
        case 0xFD0:
            return kDesignerContinuation;  // PIDR4: 4 KiB, JEP106 continuation code
        case 0xFE0:
            return component.part & 0xFF;
        case 0xFE4:
            return ((kDesignerId & 0xF) << 4) | (component.part >> 8);
        case 0xFE8:
            return 0x8 | (kDesignerId >> 4);  // revision 0, JEDEC code used, JEP106 id [6:4]
        case 0xFF0:
            return 0x0D;
        case 0xFF4:
            return component.componentClass << 4;
        case 0xFF8:
            return 0x05;
        case 0xFFC:
            return 0xB1;
        default:
            return 0;
    }
}

std::uint32_t laneMask(std::uint32_t address, unsigned sizeBytes) {
    const std::uint32_t bytes = sizeBytes >= 4 ? 0xFFFFFFFFu : (1u << (8 * sizeBytes)) - 1;
    return bytes << (8 * (address & 3));
}

}  // namespace

ArmMemoryMap::ArmMemoryMap(std::uint32_t ramBytes) : ram_(ramBytes, 0) {}

// The RAM at kDebugRamBase and its boot alias at address 0 (where the core finds its vector
// table on reset).
bool ArmMemoryMap::ramOffset(std::uint32_t address, unsigned sizeBytes, std::size_t& offset) const {
    for (const std::uint32_t base : {kDebugRamBase, std::uint32_t{0}}) {
        if (address >= base && address - base <= ram_.size() &&
            ram_.size() - (address - base) >= sizeBytes) {
            offset = address - base;
            return true;
        }
    }
    return false;
}

bool ArmMemoryMap::read(std::uint32_t address, unsigned sizeBytes, std::uint32_t& lanes) {
    address &= ~(sizeBytes - 1);  // AHB transfers are aligned to their size
    const std::uint32_t word = address & ~3u;
    std::size_t offset = 0;
    if (ramOffset(word, 4, offset)) {
        const std::uint8_t* at = &ram_[offset];
        lanes = std::uint32_t{at[0]} | (std::uint32_t{at[1]} << 8) | (std::uint32_t{at[2]} << 16) |
                (std::uint32_t{at[3]} << 24);
        return true;
    }
    if (word >= kPeripheralBusBase && word < kPeripheralBusEnd) {
        lanes = peripheralWord(word);
        return true;
    }
    return false;
}

bool ArmMemoryMap::write(std::uint32_t address, unsigned sizeBytes, std::uint32_t lanes) {
    address &= ~(sizeBytes - 1);
    const std::uint32_t word = address & ~3u;
    std::size_t offset = 0;
    if (ramOffset(word, 4, offset)) {
        const std::uint32_t mask = laneMask(address, sizeBytes);
        for (unsigned byte = 0; byte < 4; ++byte) {
            if (((mask >> (8 * byte)) & 0xFF) != 0)
                ram_[offset + byte] = static_cast<std::uint8_t>(lanes >> (8 * byte));
        }
        return true;
    }
    if (word < kPeripheralBusBase || word >= kPeripheralBusEnd) return false;
    // The registers take word writes only; smaller ones are ignored, as unmodelled addresses are.
    if (sizeBytes == 4 && core_.write(word, lanes) && core_.takeResetRequest()) systemReset();
    return true;
}

std::uint32_t ArmMemoryMap::peripheralWord(std::uint32_t address) {
    std::uint32_t value = 0;
    if (core_.read(address, value)) return value;
    const std::uint32_t block = address & kBlockMask;
    const std::uint32_t offset = address & ~kBlockMask;
    for (const Component& component : kComponents) {
        if (component.base != block) continue;
        if (offset >= kIdentificationOffset) return identification(component, offset);
        if (block != kRomTable) return 0;
        if (offset == kMemTypeOffset) return 1;  // system memory present on this bus
        const std::uint32_t entry = offset / 4;
        return entry + 1 < kComponents.size() ? romEntry(kComponents[entry + 1].base) : 0;
    }
    return 0;
}

void ArmMemoryMap::systemReset() {
    // The vector table at address 0 (the RAM's alias): the initial stack pointer, the reset vector.
    std::uint32_t stack = 0;
    std::uint32_t vector = 0;
    if (!read(0, 4, stack)) stack = 0;
    if (!read(4, 4, vector)) vector = 0;
    core_.reset(stack, vector);
}

}  // namespace quorbit
