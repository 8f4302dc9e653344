// SPDX-License-Identifier: Apache-2.0
// The virtual JTAG chain behind the emulator, usable on its own (tests, benchmarks): every device
// an IEEE 1149.1 TAP controller with an instruction register, BYPASS, an optional IDCODE and user
// data registers. All devices share TCK and TMS, so the chain has one TAP state; TDI enters device
// 0 and TDO leaves the last device.
//
// Long runs in Shift-DR / Shift-IR move 64 bits at a time through each device's register, or,
// when every register is at most 64 bits wide and the run outlasts them, go through the chain as
// through one delay line; only the clocks that change state go bit by bit. Nothing is allocated
// while shifting.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "sim/DebugPortDevice.h"
#include "sim/QuorbitSim.h"
#include "sim/ShiftRegister.h"
#include "sim/TapState.h"

namespace quorbit {

class VirtualChain {
  public:
    // The description must pass validateChain(); an invalid one yields an empty chain (deviceCount
    // 0).
    explicit VirtualChain(const ChainDescription& description);

    std::size_t deviceCount() const { return devices_.size(); }
    TapState state() const { return state_; }

    // The TDO level right now: bit 0 of the last device's shifting register in Shift-DR/Shift-IR,
    // else 1 (the line is not driven and pulled up).
    bool tdo() const;

    // One rising TCK edge with the given TMS and TDI; returns TDO as it was before the edge.
    bool clock(bool tms, bool tdi);

    // bitCount clocks. Bit k of each stream is bit k%8 of byte k/8. A null tms means TMS 0, a
    // null tdi means TDI 0, a null tdo discards TDO. With lastTmsHigh the last clock has TMS 1
    // whatever the tms stream says.
    void shift(std::uint64_t bitCount, const std::uint8_t* tms, const std::uint8_t* tdi,
               std::uint8_t* tdo, bool lastTmsHigh);

    // TRST: every TAP to Test-Logic-Reset at once, instructions reset.
    void resetAsync();

    // The instruction a device executes now (0 for a device index out of range).
    std::uint64_t instruction(std::size_t device) const;
    // A user register's held value (updated in Update-DR), bit k in bit k%8 of byte k/8.
    bool userRegister(std::size_t device, std::uint64_t opcode,
                      std::vector<std::uint8_t>& bits) const;

    // Board faults on the chain's lines (the faults must pass checkBoardFaults for this chain).
    void setBoardFaults(const BoardFaults& faults);
    // The faults of every ARM debug port of the chain.
    void setDebugPortFaults(const DebugPortFaults& faults);
    // A device's ARM debug port; null for other devices.
    DebugPortDevice* debugPort(std::size_t device);

    // Called on every change of the TAP state (not on clocks that stay in a state).
    void setTransitionListener(std::function<void(TapState from, TapState to)> listener);

  private:
    enum class DrKind : std::uint8_t { Bypass, Idcode, User, DebugPortAccess };

    struct UserRegister {
        std::uint64_t opcode = 0;
        ShiftRegister shifter;
        std::vector<std::uint64_t> value;  // held value, whole words
    };

    struct Device {
        unsigned irLength = 0;
        std::uint64_t irMask = 0;
        std::uint64_t irCapture = 1;  // ...01, unless a board fault says otherwise
        ShiftRegister ir;
        std::uint64_t instruction = 0;
        bool hasIdcode = false;
        std::uint32_t idcode = 0;
        std::uint64_t idcodeOpcode = 0;
        ShiftRegister bypass;
        ShiftRegister idcodeShifter;
        std::vector<UserRegister> users;
        DrKind selected = DrKind::Bypass;
        std::size_t selectedUser = 0;
        std::unique_ptr<DebugPortDevice> debugPort;  // its DPACC, APACC and ABORT behind the TAP
        ShiftRegister accessShifter;                 // the 35 bits of those three
    };

    static Device makeDevice(const DeviceDescription& description);
    static void selectInstruction(Device& device, std::uint64_t opcode);
    static ShiftRegister& selectedDr(Device& device);
    static const ShiftRegister& selectedDr(const Device& device);

    void enterState(TapState next);
    void captureDr();
    void updateDr();
    void resetInstructions();
    bool faultyTdo(bool driven, bool tdi) const;
    void overrideTdo(std::uint64_t firstBit, std::uint64_t count, const std::uint8_t* tdi,
                     std::uint8_t* tdo) const;
    std::uint64_t walk(std::uint64_t bit, std::uint64_t bitCount, std::uint64_t tmsLimit,
                       const std::uint8_t* tms, const std::uint8_t* tdi, std::uint8_t* tdo,
                       bool lastTmsHigh);
    void shiftRun(std::uint64_t firstBit, std::uint64_t count, const std::uint8_t* tdi,
                  std::uint8_t* tdo);
    // The same for a run at least as long as the registers together, all of them 64 bits or
    // narrower; false (nothing done) otherwise.
    bool shiftRunAsDelayLine(std::uint64_t firstBit, std::uint64_t count, const std::uint8_t* tdi,
                             std::uint8_t* tdo);

    std::vector<Device> devices_;
    std::vector<ShiftRegister*> runRegisters_;  // reused by shiftRun, sized once
    std::vector<std::uint64_t> heldBits_;       // reused by shiftRunAsDelayLine, sized once
    std::vector<std::uint64_t> nextValues_;     // likewise
    TapState state_ = TapState::TestLogicReset;
    BoardFaults::Tdo tdoFault_ = BoardFaults::Tdo::Driven;
    std::size_t openBefore_ = SIZE_MAX;  // the first device whose TDI is open and pulled high
    bool lastTdi_ = false;               // what TDO echoes between clocks
    std::function<void(TapState, TapState)> listener_;
};

}  // namespace quorbit
