// SPDX-License-Identifier: Apache-2.0
// Chain-level IR and DR access: traced wrappers, with read and write reduced to the shifts.
#include <cstring>

#include "framework/CsePlugin.h"

namespace CsePluginInterface {
namespace {

size_t bytesFor(uint32_t bitCount) {
    return static_cast<size_t>((uint64_t{bitCount} + 7u) / 8u);
}

}  // namespace

CseResult CsePlugin::readChainIR(bool tdiValue, uint8_t* tdoBuffer, uint8_t* tdoAuxBuffer,
                                 uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                 uint32_t opaque2) {
    CsePluginTrace trace("CsePlugin::readChainIR");
    return trace.setResult(
        readChainIRImpl(tdiValue, tdoBuffer, tdoAuxBuffer, bitCount, endState, opaque1, opaque2));
}

CseResult CsePlugin::writeChainIR(const uint8_t* tdiBuffer, const uint8_t* tdiAuxBuffer,
                                  uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                  uint32_t opaque2) {
    CsePluginTrace trace("CsePlugin::writeChainIR");
    return trace.setResult(
        writeChainIRImpl(tdiBuffer, tdiAuxBuffer, bitCount, endState, opaque1, opaque2));
}

CseResult CsePlugin::shiftChainIR(const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                                  const uint8_t* tdiAuxBuffer, uint8_t* tdoAuxBuffer,
                                  uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                  uint32_t opaque2) {
    CsePluginTrace trace("CsePlugin::shiftChainIR");
    return trace.setResult(shiftChainIRImpl(tdiBuffer, tdoBuffer, tdiAuxBuffer, tdoAuxBuffer,
                                            bitCount, endState, opaque1, opaque2));
}

CseResult CsePlugin::readChainDR(bool tdiValue, uint8_t* tdoBuffer, uint8_t* tdoAuxBuffer,
                                 uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                 uint32_t opaque2) {
    CsePluginTrace trace("CsePlugin::readChainDR");
    return trace.setResult(
        readChainDRImpl(tdiValue, tdoBuffer, tdoAuxBuffer, bitCount, endState, opaque1, opaque2));
}

CseResult CsePlugin::writeChainDR(const uint8_t* tdiBuffer, const uint8_t* tdiAuxBuffer,
                                  uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                  uint32_t opaque2) {
    CsePluginTrace trace("CsePlugin::writeChainDR");
    return trace.setResult(
        writeChainDRImpl(tdiBuffer, tdiAuxBuffer, bitCount, endState, opaque1, opaque2));
}

CseResult CsePlugin::shiftChainDR(const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                                  const uint8_t* tdiAuxBuffer, uint8_t* tdoAuxBuffer,
                                  uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                  uint32_t opaque2) {
    CsePluginTrace trace("CsePlugin::shiftChainDR");
    return trace.setResult(shiftChainDRImpl(tdiBuffer, tdoBuffer, tdiAuxBuffer, tdoAuxBuffer,
                                            bitCount, endState, opaque1, opaque2));
}

// A read shifts a constant stream in place: the buffer carries it in and the captured bits out,
// so without a buffer there is nothing to shift.
CseResult CsePlugin::readChainIRImpl(bool tdiValue, uint8_t* tdoBuffer, uint8_t* tdoAuxBuffer,
                                     uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                     uint32_t opaque2) {
    if (tdoBuffer == nullptr) {
        log(1, "<CsePlugin> readChainIR called with a NULL tdoBuffer\n");
        return CSE_FAILURE;
    }
    std::memset(tdoBuffer, tdiValue ? 0xFF : 0x00, bytesFor(bitCount));
    return shiftChainIR(tdoBuffer, tdoBuffer, nullptr, tdoAuxBuffer, bitCount, endState, opaque1,
                        opaque2);
}

CseResult CsePlugin::writeChainIRImpl(const uint8_t* tdiBuffer, const uint8_t* tdiAuxBuffer,
                                      uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                      uint32_t opaque2) {
    return shiftChainIR(tdiBuffer, nullptr, tdiAuxBuffer, nullptr, bitCount, endState, opaque1,
                        opaque2);
}

CseResult CsePlugin::readChainDRImpl(bool tdiValue, uint8_t* tdoBuffer, uint8_t* tdoAuxBuffer,
                                     uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                     uint32_t opaque2) {
    if (tdoBuffer == nullptr) {
        log(1, "<CsePlugin> readChainDR called with a NULL tdoBuffer\n");
        return CSE_FAILURE;
    }
    std::memset(tdoBuffer, tdiValue ? 0xFF : 0x00, bytesFor(bitCount));
    return shiftChainDR(tdoBuffer, tdoBuffer, nullptr, tdoAuxBuffer, bitCount, endState, opaque1,
                        opaque2);
}

CseResult CsePlugin::writeChainDRImpl(const uint8_t* tdiBuffer, const uint8_t* tdiAuxBuffer,
                                      uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                      uint32_t opaque2) {
    return shiftChainDR(tdiBuffer, nullptr, tdiAuxBuffer, nullptr, bitCount, endState, opaque1,
                        opaque2);
}

}  // namespace CsePluginInterface
