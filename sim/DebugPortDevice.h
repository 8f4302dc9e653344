// SPDX-License-Identifier: Apache-2.0
// An ARM JTAG-DP behind a TAP of the virtual chain, with its MEM-AP and the system behind it.
// The chain shifts the 35-bit DPACC, APACC and ABORT registers; Capture-DR loads what capture()
// gives and Update-DR hands the shifted bits to update().
//
// DPACC/APACC: TDI bit 0 RnW, bits 2:1 A[3:2], bits 34:3 the data; TDO bits 2:0 the ACK (OK
// 0b010, WAIT 0b001), bits 34:3 the result of the last read (reads are posted: a read's value
// comes out in the next scan; writes, dropped requests and RDBUFF, the read that starts nothing,
// leave it as it is). While an AP access is
// still busy, APACC scans answer WAIT and their requests are dropped (with CTRL/STAT.ORUNDETECT
// set, STICKYORUN is set too); a read's result is there at once, and DP registers stay reachable,
// so a WAIT always falls on an AP access the debugger checks. While STICKYERR or STICKYORUN is set,
// AP accesses are dropped; DP accesses still work, and writing ones to the sticky bits of CTRL/STAT
// clears them. ABORT's DAPABORT ends a busy AP access. Power: CDBGPWRUPREQ and CSYSPWRUPREQ are
// acknowledged in CDBGPWRUPACK and CSYSPWRUPACK; an AP access without debug power fails with
// STICKYERR.
#pragma once

#include <cstdint>

#include "sim/ArmMemoryMap.h"
#include "sim/MemoryAccessPort.h"
#include "sim/QuorbitSim.h"

namespace quorbit {

class DebugPortDevice {
  public:
    static constexpr unsigned kIrLength = 4;
    static constexpr std::uint64_t kAbort = 0x8;
    static constexpr std::uint64_t kDpAccess = 0xA;
    static constexpr std::uint64_t kApAccess = 0xB;
    static constexpr std::uint64_t kIdcodeInstruction = 0xE;
    static constexpr unsigned kAccessBits = 35;

    static constexpr std::uint64_t kAckOk = 0x2;
    static constexpr std::uint64_t kAckWait = 0x1;

    // CTRL/STAT.
    static constexpr std::uint32_t kOverrunDetect = 1u << 0;
    static constexpr std::uint32_t kStickyOverrun = 1u << 1;
    static constexpr std::uint32_t kStickyCompare = 1u << 4;
    static constexpr std::uint32_t kStickyError = 1u << 5;
    static constexpr std::uint32_t kDebugResetRequest = 1u << 26;
    static constexpr std::uint32_t kDebugPowerRequest = 1u << 28;
    static constexpr std::uint32_t kDebugPowerAck = 1u << 29;
    static constexpr std::uint32_t kSystemPowerRequest = 1u << 30;
    static constexpr std::uint32_t kSystemPowerAck = 1u << 31;

    // DP register addresses (A[3:2] << 2).
    static constexpr std::uint32_t kCtrlStat = 0x4;
    static constexpr std::uint32_t kSelect = 0x8;
    static constexpr std::uint32_t kRdBuff = 0xC;

    explicit DebugPortDevice(const DebugPortDescription& description);
    DebugPortDevice(const DebugPortDevice&) = delete;  // the MEM-AP points into it
    DebugPortDevice& operator=(const DebugPortDevice&) = delete;

    void setFaults(const DebugPortFaults& faults) { faults_ = faults; }

    // Whether `instruction` selects one of the 35-bit access registers.
    static bool selectsAccessRegister(std::uint64_t instruction);
    // Capture-DR and Update-DR of an access register.
    std::uint64_t capture(std::uint64_t instruction);
    void update(std::uint64_t instruction, std::uint64_t bits);

    // Inspection.
    [[nodiscard]] std::uint32_t ctrlStat() const;
    ArmMemoryMap& memory() { return memory_; }
    [[nodiscard]] const ArmMemoryMap& memory() const { return memory_; }

  private:
    void dpAccess(bool read, std::uint32_t address, std::uint32_t data);
    void apAccess(bool read, std::uint32_t address, std::uint32_t data);
    void writeCtrlStat(std::uint32_t value);
    // The fault plan's bus faults for an access reaching `address`; true when it is to fail.
    bool busFault(std::uint32_t address);

    ArmMemoryMap memory_;
    MemoryAccessPort accessPort_{memory_};
    DebugPortFaults faults_;
    std::uint32_t ctrlStat_ = 0;  // without the acknowledgements, which follow the requests
    std::uint32_t select_ = 0;
    std::uint32_t readResult_ = 0;  // the last read's result: what the next scan captures
    unsigned busyScans_ = 0;        // APACC scans still to answer WAIT
    bool dropUpdate_ = false;       // this scan was answered WAIT: its request is dropped
    std::uint64_t apAccesses_ = 0;
    bool stickyFaultDone_ = false;
    bool powerFaultDone_ = false;
};

}  // namespace quorbit
