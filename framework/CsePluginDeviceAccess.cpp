// SPDX-License-Identifier: Apache-2.0
// Device-level IR and DR access: one device's bits padded into a chain-wide stream in which every
// other device is bypassed, shifted at chain level, and the device's bits cut out again.
#include <cstdarg>
#include <cstring>
#include <memory>
#include <new>

#include "framework/CallbackRecord.h"
#include "framework/CsePlugin.h"

namespace CsePluginInterface {
namespace {

constexpr const char* kPaddingDumpLabel = "BUFFER AFTER PADDING:";
// The IR operations share their messages, which name the shift.
constexpr const char* kIROperation = "shiftDeviceIR";

// The helpers below are not members, so they reach the host's log the way CsePlugin::log does.
void logError(const char* format, ...) CSE_PRINTF_FORMAT(1, 2);
void logError(const char* format, ...) {
    va_list args;
    va_start(args, format);
    CallbackRecord::log(1, format, args);
    va_end(args);
}

size_t bytesFor(uint64_t bitCount) {
    return static_cast<size_t>((bitCount + 7u) / 8u);
}

// A chain-wide stream and where the addressed device's own bits start in it.
struct PaddedStream {
    uint32_t bitCount = 0;
    uint32_t deviceOffset = 0;
};

// During an IR scan every device contributes its whole IR; the devices nearer TDO come first.
PaddedStream irStream(const JtagChain& chain, uint32_t device) {
    return {chain.totalIRLength(), chain.irTrailingPadBits(device)};
}

// During a DR scan every other device contributes its 1-bit BYPASS register. 64 bits, so that a
// stream too long for the chain-level operations can be refused instead of wrapping.
uint64_t drShiftStreamBits(const JtagChain& chain, uint32_t bitCount) {
    return uint64_t{chain.getCount()} + bitCount - 1u;
}

// A write only has to bring the bits into the device, so the devices nearer TDO get no pad bits.
uint64_t drWriteStreamBits(uint32_t device, uint32_t bitCount) {
    return uint64_t{device} + bitCount;
}

// The chain-wide buffers of one call: the main buffer (TDI and TDO at once) and the optional
// companions of the auxiliary buffers. Each holds N div 8 + 1 bytes for an N-bit stream.
class PaddingBuffers {
  public:
    // False when memory runs out.
    bool allocate(uint32_t streamBits, bool withTdiAux, bool withTdoAux) {
        const size_t size = streamBits / 8u + 1u;
        mainBytes.reset(new (std::nothrow) uint8_t[size]());
        if (withTdiAux) tdiAuxBytes.reset(new (std::nothrow) uint8_t[size]());
        if (withTdoAux) tdoAuxBytes.reset(new (std::nothrow) uint8_t[size]());
        byteCount = size;
        return mainBytes && (!withTdiAux || tdiAuxBytes) && (!withTdoAux || tdoAuxBytes);
    }

    uint8_t* main() const { return mainBytes.get(); }
    uint8_t* tdiAux() const { return tdiAuxBytes.get(); }
    uint8_t* tdoAux() const { return tdoAuxBytes.get(); }

    void fillMain(uint8_t value) const { std::memset(mainBytes.get(), value, byteCount); }
    // The TDI companion pads with ones; the TDO companion's other bits carry no meaning.
    void fillTdiAux() const {
        if (tdiAuxBytes) std::memset(tdiAuxBytes.get(), 0xFF, byteCount);
    }

  private:
    std::unique_ptr<uint8_t[]> mainBytes;
    std::unique_ptr<uint8_t[]> tdiAuxBytes;
    std::unique_ptr<uint8_t[]> tdoAuxBytes;
    size_t byteCount = 0;
};

// Copies the device's bits of each given caller buffer to the device's place in its companion.
void placeAuxBits(const PaddingBuffers& buffers, const PaddedStream& stream,
                  const uint8_t* tdiAuxBuffer, const uint8_t* tdoAuxBuffer, uint32_t bitCount) {
    buffers.fillTdiAux();
    if (tdiAuxBuffer != nullptr) {
        CsePlugin::copyBits(buffers.tdiAux(), stream.deviceOffset, tdiAuxBuffer, 0, bitCount);
    }
    if (tdoAuxBuffer != nullptr) {
        CsePlugin::copyBits(buffers.tdoAux(), stream.deviceOffset, tdoAuxBuffer, 0, bitCount);
    }
}

void copyDeviceBitsBack(uint8_t* tdoBuffer, const PaddingBuffers& buffers,
                        const PaddedStream& stream, uint32_t bitCount) {
    // Without a tdoBuffer nothing is captured, as at chain level.
    if (tdoBuffer != nullptr) {
        CsePlugin::copyBits(tdoBuffer, 0, buffers.main(), stream.deviceOffset, bitCount);
    }
}

void dumpPadded(const PaddingBuffers& buffers, const PaddedStream& stream) {
    CallbackRecord::dump(5, kPaddingDumpLabel, buffers.main(), stream.bitCount);
}

// ---- Refusals; each logs its message naming the operation ----

bool irLengthsKnown(const JtagChain& chain, const char* operation) {
    if (chain.allIRLengthsSet()) return true;
    logError("<CsePlugin> %s called but not all IR lengths set!\n", operation);
    return false;
}

// The DR offsets are only meaningful for a device in the chain.
bool deviceInChain(const JtagChain& chain, uint32_t device, const char* operation) {
    if (device < chain.getCount()) return true;
    logError("<CsePlugin> %s called with device index out of range!\n", operation);
    return false;
}

// The chain-level operations count bits in 32 bits.
bool streamFits(uint64_t streamBits, const char* operation) {
    if (streamBits <= UINT32_MAX) return true;
    logError("<CsePlugin> %s called with bitCount too large for the chain!\n", operation);
    return false;
}

bool bufferGiven(const uint8_t* buffer, const char* operation, const char* bufferName) {
    if (buffer != nullptr) return true;
    logError("<CsePlugin> %s called with a NULL %s\n", operation, bufferName);
    return false;
}

// A source buffer is only read when there are bits to take from it.
bool sourceGiven(const uint8_t* tdiBuffer, uint32_t bitCount, const char* operation) {
    return bitCount == 0 || bufferGiven(tdiBuffer, operation, "tdiBuffer");
}

bool allocated(PaddingBuffers& buffers, uint32_t streamBits, bool withTdiAux, bool withTdoAux,
               const char* operation) {
    if (buffers.allocate(streamBits, withTdiAux, withTdoAux)) return true;
    logError("<CsePlugin> %s:Memory could not be allocated for shift buffer\n", operation);
    return false;
}

// Checks and pads an IR access: ones for every other device and above the caller's bits.
bool padIRStream(const JtagChain& chain, uint32_t device, const uint8_t* tdiBuffer,
                 const uint8_t* tdiAuxBuffer, const uint8_t* tdoAuxBuffer, uint32_t bitCount,
                 PaddingBuffers& buffers, PaddedStream& stream) {
    if (!irLengthsKnown(chain, kIROperation)) return false;
    // An index outside the chain has IR length 0, so it passes only with no bits at all.
    if (bitCount > chain.irLength(device)) {
        logError("<CsePlugin> shiftDeviceIR called with bitCount > device IR Length!\n");
        return false;
    }
    if (!sourceGiven(tdiBuffer, bitCount, kIROperation)) return false;
    stream = irStream(chain, device);
    if (!allocated(buffers, stream.bitCount, tdiAuxBuffer != nullptr, tdoAuxBuffer != nullptr,
                   kIROperation)) {
        return false;
    }
    placeAuxBits(buffers, stream, tdiAuxBuffer, tdoAuxBuffer, bitCount);
    buffers.fillMain(0xFF);
    CsePlugin::copyBits(buffers.main(), stream.deviceOffset, tdiBuffer, 0, bitCount);
    dumpPadded(buffers, stream);
    return true;
}

// Checks shared by the DR accesses that surround the device's bits with BYPASS bits.
bool drShiftStreamFor(const JtagChain& chain, uint32_t device, uint32_t bitCount,
                      const char* operation, PaddedStream& stream) {
    if (!irLengthsKnown(chain, operation) || !deviceInChain(chain, device, operation)) {
        return false;
    }
    const uint64_t streamBits = drShiftStreamBits(chain, bitCount);
    if (!streamFits(streamBits, operation)) return false;
    stream = {static_cast<uint32_t>(streamBits), chain.drTrailingPadBits(device)};
    return true;
}

}  // namespace

// ---- Public operations: traced, delegating to the Impl of the same name ----

CseResult CsePlugin::readDeviceIR(uint32_t device, bool tdiValue, uint8_t* tdoBuffer,
                                  uint8_t* tdoAuxBuffer, uint32_t bitCount,
                                  CseJtagTapState endState, uint32_t opaque1, uint32_t opaque2) {
    CsePluginTrace trace("CsePlugin::readDeviceIR");
    return trace.setResult(readDeviceIRImpl(device, tdiValue, tdoBuffer, tdoAuxBuffer, bitCount,
                                            endState, opaque1, opaque2));
}

CseResult CsePlugin::writeDeviceIR(uint32_t device, const uint8_t* tdiBuffer,
                                   const uint8_t* tdiAuxBuffer, uint32_t bitCount,
                                   CseJtagTapState endState, uint32_t opaque1, uint32_t opaque2) {
    CsePluginTrace trace("CsePlugin::writeDeviceIR");
    return trace.setResult(
        writeDeviceIRImpl(device, tdiBuffer, tdiAuxBuffer, bitCount, endState, opaque1, opaque2));
}

CseResult CsePlugin::shiftDeviceIR(uint32_t device, const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                                   const uint8_t* tdiAuxBuffer, uint8_t* tdoAuxBuffer,
                                   uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                   uint32_t opaque2) {
    CsePluginTrace trace("CsePlugin::shiftDeviceIR");
    return trace.setResult(shiftDeviceIRImpl(device, tdiBuffer, tdoBuffer, tdiAuxBuffer,
                                             tdoAuxBuffer, bitCount, endState, opaque1, opaque2));
}

CseResult CsePlugin::readDeviceDR(uint32_t device, bool tdiValue, uint8_t* tdoBuffer,
                                  uint8_t* tdoAuxBuffer, uint32_t bitCount,
                                  CseJtagTapState endState, uint32_t opaque1, uint32_t opaque2) {
    CsePluginTrace trace("CsePlugin::readDeviceDR");
    return trace.setResult(readDeviceDRImpl(device, tdiValue, tdoBuffer, tdoAuxBuffer, bitCount,
                                            endState, opaque1, opaque2));
}

CseResult CsePlugin::writeDeviceDR(uint32_t device, const uint8_t* tdiBuffer,
                                   const uint8_t* tdiAuxBuffer, uint32_t bitCount,
                                   CseJtagTapState endState, uint32_t opaque1, uint32_t opaque2) {
    CsePluginTrace trace("CsePlugin::writeDeviceDR");
    return trace.setResult(
        writeDeviceDRImpl(device, tdiBuffer, tdiAuxBuffer, bitCount, endState, opaque1, opaque2));
}

CseResult CsePlugin::shiftDeviceDR(uint32_t device, const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                                   const uint8_t* tdiAuxBuffer, uint8_t* tdoAuxBuffer,
                                   uint32_t bitCount, CseJtagTapState endState, uint32_t opaque1,
                                   uint32_t opaque2) {
    CsePluginTrace trace("CsePlugin::shiftDeviceDR");
    return trace.setResult(shiftDeviceDRImpl(device, tdiBuffer, tdoBuffer, tdiAuxBuffer,
                                             tdoAuxBuffer, bitCount, endState, opaque1, opaque2));
}

// ---- Impl defaults ----

CseResult CsePlugin::readDeviceIRImpl(uint32_t device, bool tdiValue, uint8_t* tdoBuffer,
                                      uint8_t* tdoAuxBuffer, uint32_t bitCount,
                                      CseJtagTapState endState, uint32_t opaque1,
                                      uint32_t opaque2) {
    // The buffer carries the constant stream in and the captured bits out.
    if (!bufferGiven(tdoBuffer, "readDeviceIR", "tdoBuffer")) return CSE_FAILURE;
    std::memset(tdoBuffer, tdiValue ? 0xFF : 0x00, bytesFor(bitCount));
    return shiftDeviceIR(device, tdoBuffer, tdoBuffer, nullptr, tdoAuxBuffer, bitCount, endState,
                         opaque1, opaque2);
}

CseResult CsePlugin::writeDeviceIRImpl(uint32_t device, const uint8_t* tdiBuffer,
                                       const uint8_t* tdiAuxBuffer, uint32_t bitCount,
                                       CseJtagTapState endState, uint32_t opaque1,
                                       uint32_t opaque2) {
    PaddingBuffers buffers;
    PaddedStream stream;
    if (!padIRStream(chain, device, tdiBuffer, tdiAuxBuffer, nullptr, bitCount, buffers, stream)) {
        return CSE_FAILURE;
    }
    return writeChainIRImpl(buffers.main(), buffers.tdiAux(), stream.bitCount, endState, opaque1,
                            opaque2);
}

CseResult CsePlugin::shiftDeviceIRImpl(uint32_t device, const uint8_t* tdiBuffer,
                                       uint8_t* tdoBuffer, const uint8_t* tdiAuxBuffer,
                                       uint8_t* tdoAuxBuffer, uint32_t bitCount,
                                       CseJtagTapState endState, uint32_t opaque1,
                                       uint32_t opaque2) {
    PaddingBuffers buffers;
    PaddedStream stream;
    if (!padIRStream(chain, device, tdiBuffer, tdiAuxBuffer, tdoAuxBuffer, bitCount, buffers,
                     stream)) {
        return CSE_FAILURE;
    }
    const CseResult result =
        shiftChainIRImpl(buffers.main(), buffers.main(), buffers.tdiAux(), buffers.tdoAux(),
                         stream.bitCount, endState, opaque1, opaque2);
    // Also after a failed shift: the caller gets whatever the buffer then holds.
    copyDeviceBitsBack(tdoBuffer, buffers, stream, bitCount);
    return result;
}

CseResult CsePlugin::readDeviceDRImpl(uint32_t device, bool tdiValue, uint8_t* tdoBuffer,
                                      uint8_t* tdoAuxBuffer, uint32_t bitCount,
                                      CseJtagTapState endState, uint32_t opaque1,
                                      uint32_t opaque2) {
    const char* operation = "readDeviceDR";
    PaddedStream stream;
    if (!drShiftStreamFor(chain, device, bitCount, operation, stream)) return CSE_FAILURE;
    if (!bufferGiven(tdoBuffer, operation, "tdoBuffer")) return CSE_FAILURE;
    PaddingBuffers buffers;
    if (!allocated(buffers, stream.bitCount, false, tdoAuxBuffer != nullptr, operation)) {
        return CSE_FAILURE;
    }
    placeAuxBits(buffers, stream, nullptr, tdoAuxBuffer, bitCount);
    // The chain-level read fills the whole stream, so the bypassed devices shift in the same
    // value as the addressed one.
    const CseResult result = readChainDRImpl(tdiValue, buffers.main(), buffers.tdoAux(),
                                             stream.bitCount, endState, opaque1, opaque2);
    copyDeviceBitsBack(tdoBuffer, buffers, stream, bitCount);
    return result;
}

CseResult CsePlugin::writeDeviceDRImpl(uint32_t device, const uint8_t* tdiBuffer,
                                       const uint8_t* tdiAuxBuffer, uint32_t bitCount,
                                       CseJtagTapState endState, uint32_t opaque1,
                                       uint32_t opaque2) {
    const char* operation = "writeDeviceDR";
    if (!irLengthsKnown(chain, operation) || !deviceInChain(chain, device, operation)) {
        return CSE_FAILURE;
    }
    const uint64_t streamBits = drWriteStreamBits(device, bitCount);
    if (!streamFits(streamBits, operation) || !sourceGiven(tdiBuffer, bitCount, operation)) {
        return CSE_FAILURE;
    }
    const PaddedStream stream{static_cast<uint32_t>(streamBits), 0};
    PaddingBuffers buffers;
    if (!allocated(buffers, stream.bitCount, tdiAuxBuffer != nullptr, false, operation)) {
        return CSE_FAILURE;
    }
    // Whole bytes: the bits above bitCount in the caller's last byte land in the first pad bits,
    // which only reach bypass registers.
    const size_t callerBytes = bytesFor(bitCount);
    buffers.fillMain(0x00);
    if (callerBytes != 0) std::memcpy(buffers.main(), tdiBuffer, callerBytes);
    buffers.fillTdiAux();
    if (tdiAuxBuffer != nullptr && callerBytes != 0) {
        std::memcpy(buffers.tdiAux(), tdiAuxBuffer, callerBytes);
    }
    dumpPadded(buffers, stream);
    return writeChainDRImpl(buffers.main(), buffers.tdiAux(), stream.bitCount, endState, opaque1,
                            opaque2);
}

CseResult CsePlugin::shiftDeviceDRImpl(uint32_t device, const uint8_t* tdiBuffer,
                                       uint8_t* tdoBuffer, const uint8_t* tdiAuxBuffer,
                                       uint8_t* tdoAuxBuffer, uint32_t bitCount,
                                       CseJtagTapState endState, uint32_t opaque1,
                                       uint32_t opaque2) {
    const char* operation = "shiftDeviceDR";
    PaddedStream stream;
    if (!drShiftStreamFor(chain, device, bitCount, operation, stream)) return CSE_FAILURE;
    if (!sourceGiven(tdiBuffer, bitCount, operation)) return CSE_FAILURE;
    PaddingBuffers buffers;
    if (!allocated(buffers, stream.bitCount, tdiAuxBuffer != nullptr, tdoAuxBuffer != nullptr,
                   operation)) {
        return CSE_FAILURE;
    }
    placeAuxBits(buffers, stream, tdiAuxBuffer, tdoAuxBuffer, bitCount);
    // The bypassed devices shift in zeros.
    buffers.fillMain(0x00);
    copyBits(buffers.main(), stream.deviceOffset, tdiBuffer, 0, bitCount);
    dumpPadded(buffers, stream);
    const CseResult result =
        shiftChainDRImpl(buffers.main(), buffers.main(), buffers.tdiAux(), buffers.tdoAux(),
                         stream.bitCount, endState, opaque1, opaque2);
    copyDeviceBitsBack(tdoBuffer, buffers, stream, bitCount);
    return result;
}

// ---- Bit helpers offered to targets ----

namespace {

void copyOneBit(uint8_t* destination, uint32_t to, const uint8_t* source, uint32_t from) noexcept {
    const uint8_t mask = static_cast<uint8_t>(1u << (to % 8u));
    if ((source[from / 8u] >> (from % 8u)) & 1u) {
        destination[to / 8u] |= mask;
    } else {
        destination[to / 8u] &= static_cast<uint8_t>(~mask);
    }
}

}  // namespace

void CsePlugin::copyBits(uint8_t* destination, uint32_t destinationBit, const uint8_t* source,
                         uint32_t sourceBit, uint32_t count) noexcept {
    // Single bits up to a byte boundary of the destination, then whole destination bytes (each
    // from at most two source bytes), then the last few bits: device shifts of many bits pad and
    // unpad at byte speed, not bit by bit.
    uint32_t k = 0;
    for (; k < count && (destinationBit + k) % 8u != 0; ++k) {
        copyOneBit(destination, destinationBit + k, source, sourceBit + k);
    }
    const uint32_t shift = (sourceBit + k) % 8u;
    for (; count - k >= 8u; k += 8u) {
        const uint8_t* from = source + (sourceBit + k) / 8u;
        // With a shift the eight bits end in from[1], which lies inside the source's count.
        destination[(destinationBit + k) / 8u] =
            shift == 0 ? from[0]
                       : static_cast<uint8_t>((from[0] >> shift) | (from[1] << (8u - shift)));
    }
    for (; k < count; ++k) copyOneBit(destination, destinationBit + k, source, sourceBit + k);
}

CseResult CsePlugin::maskBuffer(uint8_t* destination, const uint8_t* source, const uint8_t* mask,
                                uint32_t bitCount) {
    CsePluginTrace trace("CsePlugin::maskBuffer");
    if (destination == nullptr || source == nullptr || mask == nullptr) {
        log(1, "<CsePlugin> Atleast one NULL buffer passed into maskBuffer.\n");
        return CSE_FAILURE;
    }
    // Whole bytes: the bits above bitCount in the last byte are combined too.
    const size_t byteCount = bytesFor(bitCount);
    for (size_t i = 0; i < byteCount; ++i) destination[i] = source[i] & mask[i];
    return CSE_SUCCESS;
}

}  // namespace CsePluginInterface
