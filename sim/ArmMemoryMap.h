// SPDX-License-Identifier: Apache-2.0
// What the debug port's MEM-AP reaches over its AHB: RAM at kDebugRamBase, also seen at address 0
// (a boot alias: the core takes its vector table from there on reset), the Cortex-M core's
// Private Peripheral Bus (0xE0000000..0xE00FFFFF: the core's debug and system registers, a DWT
// and a breakpoint unit, a ROM table listing them, each with its CoreSight identification; other
// addresses there read zero and ignore writes) and nothing else: any other address is a bus
// error. Transfers are 1, 2 or 4 bytes on their byte lanes of a 32-bit word (the byte at address
// A in bits 8*(A%4)..8*(A%4)+7), as on AHB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/CortexDebugModel.h"

namespace quorbit {

class ArmMemoryMap {
  public:
    static constexpr std::uint32_t kRomTable = 0xE00FF000;

    explicit ArmMemoryMap(std::uint32_t ramBytes);

    // False on a bus error (nothing read or written).
    bool read(std::uint32_t address, unsigned sizeBytes, std::uint32_t& lanes);
    bool write(std::uint32_t address, unsigned sizeBytes, std::uint32_t lanes);

    CortexDebugModel& core() { return core_; }
    [[nodiscard]] const CortexDebugModel& core() const { return core_; }
    [[nodiscard]] std::uint32_t ramBytes() const { return static_cast<std::uint32_t>(ram_.size()); }

  private:
    [[nodiscard]] bool ramOffset(std::uint32_t address, unsigned sizeBytes,
                                 std::size_t& offset) const;
    std::uint32_t peripheralWord(std::uint32_t address);
    void systemReset();

    std::vector<std::uint8_t> ram_;
    CortexDebugModel core_;
};

}  // namespace quorbit
