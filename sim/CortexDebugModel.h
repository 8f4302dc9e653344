// SPDX-License-Identifier: Apache-2.0
// A Cortex-M core (ARMv6-M) as its debugger sees it: the debug registers of the System Control
// Space (DHCSR, DCRSR, DCRDR, DEMCR, DFSR, AIRCR, CPUID), the core registers behind DCRSR/DCRDR,
// and a DWT and a breakpoint unit without comparators. The core executes no instructions: it is
// halted or "running" with its registers unchanged. Halting, stepping (a halt again at once),
// resuming, the reset through AIRCR (vector catch honoured) and every register transfer behave
// as the architecture says.
#pragma once

#include <array>
#include <cstdint>

namespace quorbit {

class CortexDebugModel {
  public:
    // The core's registers in DCRSR's numbering (REGSEL).
    enum CoreRegister : std::uint32_t {
        kR0 = 0,
        kSp = 13,  // the stack pointer in use: MSP, or PSP in Thread mode with CONTROL.SPSEL
        kLr = 14,
        kPc = 15,  // DebugReturnAddress
        kXpsr = 16,
        kMsp = 17,
        kPsp = 18,
        kSpecial = 20,  // CONTROL [31:24], PRIMASK [7:0] (FAULTMASK and BASEPRI: none on v6-M)
    };

    // System Control Space and component addresses.
    static constexpr std::uint32_t kCpuid = 0xE000ED00;
    static constexpr std::uint32_t kAircr = 0xE000ED0C;
    static constexpr std::uint32_t kDfsr = 0xE000ED30;
    static constexpr std::uint32_t kDhcsr = 0xE000EDF0;
    static constexpr std::uint32_t kDcrsr = 0xE000EDF4;
    static constexpr std::uint32_t kDcrdr = 0xE000EDF8;
    static constexpr std::uint32_t kDemcr = 0xE000EDFC;
    static constexpr std::uint32_t kDwtCtrl = 0xE0001000;
    static constexpr std::uint32_t kFpCtrl = 0xE0002000;

    // ARM's identification of a Cortex-M0+ r0p1: an ARMv6-M part OpenOCD knows, whose MEM-AP
    // auto-increments within 1 KiB.
    static constexpr std::uint32_t kCpuidValue = 0x410CC601;

    // DHCSR.
    static constexpr std::uint32_t kDebugKey = 0xA05F0000;
    static constexpr std::uint32_t kDebugEnable = 1u << 0;
    static constexpr std::uint32_t kHaltRequest = 1u << 1;
    static constexpr std::uint32_t kStepRequest = 1u << 2;
    static constexpr std::uint32_t kMaskInterrupts = 1u << 3;
    static constexpr std::uint32_t kRegisterReady = 1u << 16;
    static constexpr std::uint32_t kHalted = 1u << 17;
    static constexpr std::uint32_t kRetired = 1u << 24;
    static constexpr std::uint32_t kWasReset = 1u << 25;
    // DFSR.
    static constexpr std::uint32_t kHaltedReason = 1u << 0;
    static constexpr std::uint32_t kVectorCaught = 1u << 3;
    // DEMCR: the bits ARMv6-M has.
    static constexpr std::uint32_t kCatchReset = 1u << 0;
    static constexpr std::uint32_t kDemcrBits = (1u << 24) | (1u << 10) | kCatchReset;

    // After power-on: running, debugging disabled, the registers as a reset leaves them.
    CortexDebugModel() {
        reset(0, 0);
        wasReset_ = false;
    }

    // A word register of the core's system at `address` (0xE0000000..0xE00FFFFF); false when it
    // is none of the modelled ones (the bus then reads zero and ignores writes).
    bool read(std::uint32_t address, std::uint32_t& value);
    bool write(std::uint32_t address, std::uint32_t value);
    // Whether a write asked for a system reset (AIRCR.SYSRESETREQ); cleared by the call.
    bool takeResetRequest();
    // Reset: the core's registers from the vector table's first two words; halted at once when
    // debugging is enabled and DEMCR catches the reset vector.
    void reset(std::uint32_t initialSp, std::uint32_t resetVector);

    // Inspection.
    [[nodiscard]] bool halted() const { return halted_; }
    [[nodiscard]] std::uint32_t coreRegister(std::uint32_t regsel) const;

  private:
    std::uint32_t readDhcsr();
    void writeDhcsr(std::uint32_t value);
    void transferRegister(std::uint32_t dcrsr);
    void setCoreRegister(std::uint32_t regsel, std::uint32_t value);
    void halt();
    [[nodiscard]] bool usesProcessStack() const;

    std::array<std::uint32_t, 13> general_{};  // R0-R12
    std::uint32_t msp_ = 0;
    std::uint32_t psp_ = 0;
    std::uint32_t lr_ = 0;
    std::uint32_t pc_ = 0;
    std::uint32_t xpsr_ = 0;
    std::uint32_t primask_ = 0;
    std::uint32_t control_ = 0;
    std::uint32_t dhcsrControl_ = 0;  // C_DEBUGEN, C_HALT, C_STEP, C_MASKINTS as last written
    std::uint32_t dcrdr_ = 0;
    std::uint32_t demcr_ = 0;
    std::uint32_t dfsr_ = 0;
    std::uint32_t fpCtrlEnable_ = 0;
    bool halted_ = false;
    bool wasReset_ = false;  // DHCSR.S_RESET_ST until read
    bool resetRequested_ = false;
};

}  // namespace quorbit
