// SPDX-License-Identifier: Apache-2.0
#include "sim/MemoryAccessPort.h"

namespace quorbit {
namespace {

constexpr std::uint32_t kSizeMask = 0x7;
constexpr std::uint32_t kIncrementMask = 0x30;
constexpr std::uint32_t kIncrementSingle = 0x10;
constexpr std::uint32_t kDeviceEnabled = 1u << 6;  // read-only: the bus can be reached
// Writable: size, auto-increment, mode and the bus protection bits; TrInProg and DeviceEn are
// read-only.
constexpr std::uint32_t kWritable = 0xFF000F37;
constexpr std::uint32_t kRomTableBase = ArmMemoryMap::kRomTable | 0x3;  // present, ADIv5 format

}  // namespace

unsigned MemoryAccessPort::transferBytes() const {
    switch (csw_ & kSizeMask) {
        case 0:
            return 1;
        case 1:
            return 2;
        default:
            return 4;  // word, and the sizes an AHB MEM-AP does not have
    }
}

bool MemoryAccessPort::busAddress(std::uint32_t reg, std::uint32_t& address) const {
    if (reg == kDrw) {
        address = tar_;
        return true;
    }
    if ((reg & 0xF0) == kBd0) {
        address = (tar_ & ~0xFu) | (reg & 0xC);
        return true;
    }
    return false;
}

// After a DRW transfer with auto-increment: TAR moves on by the transfer's size within its 1 KiB
// block (the architecture promises no more), wrapping to the block's start.
void MemoryAccessPort::advance() {
    if ((csw_ & kIncrementMask) != kIncrementSingle) return;
    const std::uint32_t block = tar_ & ~(kAutoIncrementBlock - 1);
    tar_ = block | ((tar_ + transferBytes()) & (kAutoIncrementBlock - 1));
}

bool MemoryAccessPort::read(std::uint32_t reg, std::uint32_t& value) {
    value = 0;
    std::uint32_t address = 0;
    if (busAddress(reg, address)) {
        const bool isDrw = reg == kDrw;
        const unsigned bytes = isDrw ? transferBytes() : 4;
        if (!memory_.read(address, bytes, value)) return false;
        if (isDrw) advance();
        return true;
    }
    switch (reg) {
        case kCsw:
            value = csw_ | kDeviceEnabled;
            break;
        case kTar:
            value = tar_;
            break;
        case kCfg:
            value = 0;  // little-endian, 32-bit addresses and data
            break;
        case kBase:
            value = kRomTableBase;
            break;
        case kIdr:
            value = kIdrValue;
            break;
        default:
            break;  // reserved: reads zero
    }
    return true;
}

bool MemoryAccessPort::write(std::uint32_t reg, std::uint32_t value) {
    std::uint32_t address = 0;
    if (busAddress(reg, address)) {
        const bool isDrw = reg == kDrw;
        if (!memory_.write(address, isDrw ? transferBytes() : 4, value)) return false;
        if (isDrw) advance();
        return true;
    }
    switch (reg) {
        case kCsw: {
            std::uint32_t csw = value & kWritable;
            // Packed transfers are not supported: that setting reads back as no increment.
            if ((csw & kIncrementMask) > kIncrementSingle) csw &= ~kIncrementMask;
            csw_ = csw;
            break;
        }
        case kTar:
            tar_ = value;
            break;
        default:
            break;  // read-only or reserved: ignored
    }
    return true;
}

}  // namespace quorbit
