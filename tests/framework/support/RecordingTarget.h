// SPDX-License-Identifier: Apache-2.0
// Test support: a plug-in target whose cable Impls record their calls and answer as configured.
// Navigation and reset record the state reached, as a real target must, unless told not to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/CsePlugin.h"

namespace krvtest {

using namespace CsePluginInterface;

// One call of a chain shift Impl, with copies of what the buffers held on entry.
struct RecordedShift {
    bool instructionRegister = false;
    const uint8_t* tdiBuffer = nullptr;
    uint8_t* tdoBuffer = nullptr;
    const uint8_t* tdiAuxBuffer = nullptr;
    uint8_t* tdoAuxBuffer = nullptr;
    uint32_t bitCount = 0;
    CseJtagTapState endState = CSEJTAG_TEST_LOGIC_RESET;
    uint32_t opaque1 = 0;
    uint32_t opaque2 = 0;
    std::vector<uint8_t> tdiBits;  // (bitCount + 7) / 8 bytes of tdiBuffer on entry
};

enum class StateRecording { Record, Ignore };

class RecordingTarget : public CsePlugin {
  public:
    explicit RecordingTarget(StateRecording recording = StateRecording::Record)
        : recordStates(recording) {}
    CSE_PLUGIN_DESTRUCTOR(RecordingTarget) = default;

    // Results the cable Impls give.
    CseResult openResult = CSE_SUCCESS;
    CseResult closeResult = CSE_SUCCESS;
    CseResult navigateResult = CSE_SUCCESS;
    CseResult initializeTAPResult = CSE_SUCCESS;
    CseResult shiftResult = CSE_SUCCESS;
    CseResult initializeTargetResult = CSE_SUCCESS;
    uint8_t tdoFill = 0xA5;  // what the shifts write into a tdoBuffer

    std::vector<std::string> calls;  // "openTargetImpl(2,7,9)", "navigateTAPImpl(1,0)", ...
    std::vector<RecordedShift> shifts;

    // The framework's protected state and Impls, opened up for the tests.
    bool isLocked() const { return locked; }
    bool openedFlag() const { return opened; }
    uint32_t handleValue() const { return handle; }
    CseJtagTapTracker& tracker() { return tapState; }
    JtagChain& chainModel() { return chain; }
    const CseTargetInfo& info() const { return targetInfo; }
    void postForTest(uint32_t category, const char* text) const { postMessage(category, text); }
    using CsePlugin::getOptionImpl;
    using CsePlugin::isConnectedImpl;
    using CsePlugin::navigateTAPImpl;
    using CsePlugin::readChainDRImpl;
    using CsePlugin::readChainIRImpl;
    using CsePlugin::setOptionImpl;

  protected:
    CseResult initializeTargetImpl(uint32_t argc, const char* const* argv) override;
    CseResult openTargetImpl(uint32_t argc, const char* const* argv, uint32_t opaque1,
                             uint32_t opaque2) override;
    CseResult closeTargetImpl() override;
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
    CseResult recordShift(RecordedShift shift);
    StateRecording recordStates = StateRecording::Record;
};

}  // namespace krvtest
