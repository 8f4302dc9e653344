// SPDX-License-Identifier: Apache-2.0
#include "tests/framework/support/RecordingTarget.h"

#include <cstring>

namespace krvtest {

CseResult RecordingTarget::initializeTargetImpl(uint32_t argc, const char* const*) {
    calls.push_back("initializeTargetImpl(" + std::to_string(argc) + ")");
    return initializeTargetResult;
}

CseResult RecordingTarget::openTargetImpl(uint32_t argc, const char* const*, uint32_t opaque1,
                                          uint32_t opaque2) {
    calls.push_back("openTargetImpl(" + std::to_string(argc) + "," + std::to_string(opaque1) + "," +
                    std::to_string(opaque2) + ")");
    return openResult;
}

CseResult RecordingTarget::closeTargetImpl() {
    calls.push_back("closeTargetImpl()");
    return closeResult;
}

CseResult RecordingTarget::navigateTAPImpl(CseJtagTapState state, uint32_t count) {
    calls.push_back("navigateTAPImpl(" + std::to_string(state) + "," + std::to_string(count) + ")");
    if (!cseFailed(navigateResult) && recordStates == StateRecording::Record) tapState.set(state);
    return navigateResult;
}

CseResult RecordingTarget::initializeTAPImpl() {
    calls.push_back("initializeTAPImpl()");
    if (!cseFailed(initializeTAPResult) && recordStates == StateRecording::Record) {
        tapState.set(CSEJTAG_TEST_LOGIC_RESET);
    }
    return initializeTAPResult;
}

CseResult RecordingTarget::shiftChainIRImpl(const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                                            const uint8_t* tdiAuxBuffer, uint8_t* tdoAuxBuffer,
                                            uint32_t bitCount, CseJtagTapState endState,
                                            uint32_t opaque1, uint32_t opaque2) {
    calls.push_back("shiftChainIRImpl(" + std::to_string(bitCount) + ")");
    return recordShift({true,
                        tdiBuffer,
                        tdoBuffer,
                        tdiAuxBuffer,
                        tdoAuxBuffer,
                        bitCount,
                        endState,
                        opaque1,
                        opaque2,
                        {}});
}

CseResult RecordingTarget::shiftChainDRImpl(const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                                            const uint8_t* tdiAuxBuffer, uint8_t* tdoAuxBuffer,
                                            uint32_t bitCount, CseJtagTapState endState,
                                            uint32_t opaque1, uint32_t opaque2) {
    calls.push_back("shiftChainDRImpl(" + std::to_string(bitCount) + ")");
    return recordShift({false,
                        tdiBuffer,
                        tdoBuffer,
                        tdiAuxBuffer,
                        tdoAuxBuffer,
                        bitCount,
                        endState,
                        opaque1,
                        opaque2,
                        {}});
}

CseResult RecordingTarget::recordShift(RecordedShift shift) {
    const size_t byteCount = (shift.bitCount + 7u) / 8u;
    if (shift.tdiBuffer != nullptr) {
        shift.tdiBits.assign(shift.tdiBuffer, shift.tdiBuffer + byteCount);
    }
    if (shift.tdoBuffer != nullptr) std::memset(shift.tdoBuffer, tdoFill, byteCount);
    if (!cseFailed(shiftResult) && recordStates == StateRecording::Record) {
        tapState.set(shift.endState);
    }
    shifts.push_back(std::move(shift));
    return shiftResult;
}

}  // namespace krvtest
