// SPDX-License-Identifier: Apache-2.0
// An AHB MEM-AP (access port 0 of the debug port) in front of an ArmMemoryMap: CSW (transfer
// size, auto-increment; packed transfers are not supported), TAR (auto-incremented within its
// 1 KiB block: the address wraps at the block's end), DRW, the banked BD0-BD3, CFG (32-bit,
// little-endian), BASE (the ROM table) and IDR, ARM's identification of an AHB MEM-AP, which
// OpenOCD's Cortex-M support looks for.
#pragma once

#include <cstdint>

#include "sim/ArmMemoryMap.h"

namespace quorbit {

class MemoryAccessPort {
  public:
    // Register addresses: APBANKSEL (SELECT[7:4]) and A[3:2].
    static constexpr std::uint32_t kCsw = 0x00;
    static constexpr std::uint32_t kTar = 0x04;
    static constexpr std::uint32_t kDrw = 0x0C;
    static constexpr std::uint32_t kBd0 = 0x10;
    static constexpr std::uint32_t kCfg = 0xF4;
    static constexpr std::uint32_t kBase = 0xF8;
    static constexpr std::uint32_t kIdr = 0xFC;

    static constexpr std::uint32_t kIdrValue = 0x04770031;  // ARM, MEM-AP class, AHB type
    static constexpr std::uint32_t kAutoIncrementBlock = 1u << 10;

    explicit MemoryAccessPort(ArmMemoryMap& memory) : memory_(memory) {}

    // One AP register access; false when the bus transfer it made failed (a sticky error).
    bool read(std::uint32_t reg, std::uint32_t& value);
    bool write(std::uint32_t reg, std::uint32_t value);
    // The bus address the access of `reg` would reach (DRW and BD0-BD3), for the fault plan.
    [[nodiscard]] bool busAddress(std::uint32_t reg, std::uint32_t& address) const;

    [[nodiscard]] std::uint32_t tar() const { return tar_; }

  private:
    [[nodiscard]] unsigned transferBytes() const;
    void advance();

    ArmMemoryMap& memory_;
    std::uint32_t csw_ = 0x2;  // word transfers, no auto-increment
    std::uint32_t tar_ = 0;
};

}  // namespace quorbit
