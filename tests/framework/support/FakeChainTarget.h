// SPDX-License-Identifier: Apache-2.0
// Test support: a plug-in target with a modelled JTAG chain behind its cable Impls, so that
// discovery and device-level padding run on real bits through real shift registers.
//
// The model clocks every TAP controller of the chain together: Capture loads the registers,
// Shift moves the bits from TDI (device 0) to TDO (last device), Update makes an instruction take
// effect, Test-Logic-Reset selects IDCODE (BYPASS for a device without one). Navigation walks the
// framework's TMS paths clock by clock, so passing Capture or Update has its real effect.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "framework/CsePlugin.h"

namespace krvtest {

using namespace CsePluginInterface;

// One device of the modelled chain.
struct FakeDevice {
    uint32_t irLength = 0;           // 2..64 bits
    std::optional<uint32_t> idCode;  // absent: the device has no IDCODE register
    uint64_t idcodeInstruction = 1;
    // Optional user data registers: opcode -> length in bits. They capture what they last
    // received at Update-DR (zero at first).
    std::map<uint64_t, uint32_t> userRegisters;

    static FakeDevice withIdCode(uint32_t irLength, uint32_t idCode);
    static FakeDevice withoutIdCode(uint32_t irLength);
};

enum class TdoFault { None, StuckAt0, StuckAt1 };

// Fails the nth call (counting from 1 after setFailurePlan) of an Impl with `code`, doing
// nothing else; 0 never fails.
struct FailurePlan {
    uint32_t initializeTAPCall = 0;
    uint32_t navigateCall = 0;
    uint32_t shiftIRCall = 0;
    uint32_t shiftDRCall = 0;
    CseResult code = CSE_FAILURE;
};

// One call of a chain shift Impl, with copies of what its buffers held on entry.
struct ChainShiftCall {
    bool instructionRegister = false;
    uint32_t bitCount = 0;
    CseJtagTapState endState = CSEJTAG_TEST_LOGIC_RESET;
    bool tdoGiven = false;
    std::vector<uint8_t> tdiBytes;     // empty when the buffer was null
    std::vector<uint8_t> tdiAuxBytes;  // empty when the buffer was null
    std::vector<uint8_t> tdoAuxBytes;  // empty when the buffer was null
    uint32_t opaque1 = 0;
    uint32_t opaque2 = 0;
};

class FakeChainTarget : public CsePlugin {
  public:
    explicit FakeChainTarget(std::vector<FakeDevice> devices = {});
    CSE_PLUGIN_DESTRUCTOR(FakeChainTarget) = default;

    // Puts a different chain behind the cable; its TAPs start in Test-Logic-Reset.
    void setDevices(std::vector<FakeDevice> devices);
    void setFailurePlan(const FailurePlan& plan);
    TdoFault tdoFault = TdoFault::None;

    std::vector<std::string> calls;  // "initializeTAPImpl()", "navigateTAPImpl(1,0)", ...
    std::vector<ChainShiftCall> shifts;

    // The instruction in effect in a device, and a user register's content (bit 0 = LSB).
    uint64_t instruction(size_t device) const;
    uint64_t userRegister(size_t device, uint64_t opcode) const;

    CseJtagTapState state() const { return tapState.get(); }
    bool isLocked() const { return locked; }
    JtagChain& chainModel() { return chain; }
    using CsePlugin::writeChainDRImpl;
    using CsePlugin::writeChainIRImpl;

  protected:
    CseResult openTargetImpl(uint32_t argc, const char* const* argv, uint32_t opaque1,
                             uint32_t opaque2) override;
    CseResult closeTargetImpl() override;
    using CsePlugin::navigateTAPImpl;
    CseResult navigateTAPImpl(CseJtagTapState state, uint32_t count) override;
    CseResult initializeTAPImpl() override;
    CseResult shiftChainIRImpl(const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                               const uint8_t* tdiAuxBuffer, uint8_t* tdoAuxBuffer,
                               uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                               uint32_t opaque2) override;
    CseResult shiftChainDRImpl(const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                               const uint8_t* tdiAuxBuffer, uint8_t* tdoAuxBuffer,
                               uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                               uint32_t opaque2) override;

  private:
    enum class Register { Bypass, IdCode, User };
    struct DeviceState {
        FakeDevice device;
        uint64_t instruction = 0;
        Register selected = Register::Bypass;
        std::map<uint64_t, std::vector<uint8_t>> userContents;  // one byte per bit
    };

    // Counts a call of one Impl and says whether the plan fails it.
    static bool failsNow(uint32_t& callsSoFar, uint32_t failingCall);
    CseResult shiftChain(bool instructionRegister, const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                         uint32_t bitCount, CseJtagTapState endState);
    // Walks the framework's TMS path; false for a state outside 0..15.
    bool walkTo(CseJtagTapState goal);
    // One TCK: shifts when in a Shift state, then moves on and acts on the state entered.
    bool clock(bool tms, bool tdi);
    void enter(CseJtagTapState state);
    void resetDevices();
    void captureIR();
    void captureDR();
    void updateIR();
    void updateDR();
    uint32_t selectedLength(const DeviceState& device) const;
    void select(DeviceState& device, uint64_t instruction);

    std::vector<DeviceState> modelled;
    // The registers between TDI and TDO, the bit nearest TDO first.
    std::deque<uint8_t> scanPath;
    FailurePlan failures;
    uint32_t initializeTAPCalls = 0;
    uint32_t navigateCalls = 0;
    uint32_t shiftIRCalls = 0;
    uint32_t shiftDRCalls = 0;
};

}  // namespace krvtest
