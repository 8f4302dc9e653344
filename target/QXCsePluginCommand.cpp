// SPDX-License-Identifier: Apache-2.0
// The target's one command, "raw-shift": a host's own TMS and TDI streams clocked as they are,
// with the TDO captured, in raw shifts that carry both streams. Every other verb is left to the
// framework, so that setOption and getOption answer as they always did.
#include <algorithm>
#include <cstring>

#include "koraven-cse-plugin/CseTapWalk.h"
#include "target/QXCsePlugin.h"

namespace CsePluginInterface {
namespace {

constexpr char kSendCommandName[] = "QXCsePlugin::sendCommandImpl";
constexpr char kRawShiftVerb[] = "raw-shift";
// getOption("retransmit"): whether requests without a reply go out again, and why.
constexpr char kGetVerb[] = "get";
constexpr char kRetransmitKey[] = "retransmit";
constexpr uint32_t kCountBytes = 4;

uint32_t bytesFor(uint32_t bitCount) {
    return bitCount / 8 + (bitCount % 8 != 0 ? 1 : 0);
}

bool tmsAt(const uint8_t* tms, uint32_t bit) {
    return ((tms[bit / 8] >> (bit % 8)) & 1u) != 0;
}

// Where a TMS stream from `from` leaves the TAP.
CseJtagTapState streamEnd(CseJtagTapState from, const uint8_t* tms, uint32_t bitCount) {
    CseJtagTapState state = from;
    for (uint32_t bit = 0; bit < bitCount; ++bit) state = cseNextTapState(state, tmsAt(tms, bit));
    return state;
}

}  // namespace

CseResult QXCsePlugin::sendCommandImpl(const char* command, const void* inData, uint32_t inSize,
                                       void* outData, uint32_t outSize, uint32_t opaque1,
                                       uint32_t opaque2) {
    if (command != nullptr && std::strcmp(command, kGetVerb) == 0 && inData != nullptr &&
        inSize == sizeof kRetransmitKey &&
        std::memcmp(inData, kRetransmitKey, sizeof kRetransmitKey) == 0) {
        return answerRetransmitState(outData, outSize);
    }
    if (command == nullptr || std::strcmp(command, kRawShiftVerb) != 0) {
        return CsePlugin::sendCommandImpl(command, inData, inSize, outData, outSize, opaque1,
                                          opaque2);
    }
    traceEnter(kSendCommandName);
    const auto* in = static_cast<const uint8_t*>(inData);
    if (in == nullptr || inSize < kCountBytes) {
        logMessage(CSE_MESSAGE_ERROR,
                   "raw-shift takes a 32-bit bit count and the TMS and TDI streams of that many "
                   "bits, not %u bytes\n",
                   inSize);
        return traceExit(kSendCommandName, CSE_FAILURE);
    }
    const uint32_t bitCount = static_cast<uint32_t>(in[0]) | (static_cast<uint32_t>(in[1]) << 8) |
                              (static_cast<uint32_t>(in[2]) << 16) |
                              (static_cast<uint32_t>(in[3]) << 24);
    const uint64_t streamBytes = bytesFor(bitCount);
    if (inSize != kCountBytes + 2 * streamBytes) {
        logMessage(CSE_MESSAGE_ERROR,
                   "raw-shift of %u bits takes %llu bytes (the count, TMS and TDI), not %u\n",
                   bitCount, static_cast<unsigned long long>(kCountBytes + 2 * streamBytes),
                   inSize);
        return traceExit(kSendCommandName, CSE_FAILURE);
    }
    if (outData != nullptr && outSize < streamBytes) {
        logMessage(CSE_MESSAGE_ERROR, "raw-shift of %u bits needs %llu bytes for TDO, not %u\n",
                   bitCount, static_cast<unsigned long long>(streamBytes), outSize);
        return traceExit(kSendCommandName, CSE_FAILURE);
    }
    // Like navigation, clocking the TAP needs the exclusive lock.
    if (!lockedMode) {
        logMessage(CSE_MESSAGE_ERROR,
                   "raw-shift needs the exclusive lock: call lockTarget first\n");
        return traceExit(kSendCommandName, CSE_FAILURE);
    }
    const uint8_t* tms = in + kCountBytes;
    return traceExit(kSendCommandName, rawShiftCommand(tms, tms + streamBytes,
                                                       static_cast<uint8_t*>(outData), bitCount));
}

CseResult QXCsePlugin::answerRetransmitState(void* outData, uint32_t outSize) {
    const size_t size = std::strlen(retransmitState) + 1;
    if (outData == nullptr || outSize < size) {
        logMessage(CSE_MESSAGE_ERROR, "getOption(retransmit) needs %u bytes, not %u\n",
                   static_cast<unsigned>(size), outSize);
        return CSE_FAILURE;
    }
    std::memcpy(outData, retransmitState, size);
    return CSE_SUCCESS;
}

CseResult QXCsePlugin::rawShiftCommand(const uint8_t* tms, const uint8_t* tdi, uint8_t* tdo,
                                       uint32_t bitCount) {
    if (bitCount == 0) return CSE_SUCCESS;
    if (!ensureLink() || !recoverTapState()) return CSE_FAILURE;
    // After a recovery reset a stream that starts in the DR column or reaches Capture-DR before
    // it loads the whole IR path or resets the instructions would move the wrong register.
    instructions.moveTo(static_cast<CseJtagTapState>(currentTapState));
    if (refusesShift(instructions.admitsStream(tms, bitCount, irPathBits()))) return CSE_FAILURE;
    // Pieces of whole bytes, so that each starts on a byte of the caller's streams; the recorded
    // state follows each piece that was carried out.
    for (uint32_t done = 0; done < bitCount;) {
        const uint32_t piece = std::min(bitCount - done, kMaxMergedBits);
        const uint32_t at = done / 8;
        const int result = rawShift(0, static_cast<int>(piece), tms + at, tdi + at,
                                    tdo != nullptr ? tdo + at : nullptr, AfterReconnect::Fail);
        if (result != 0) {
            if (result > 0) {
                logMessage(CSE_MESSAGE_ERROR,
                           "raw-shift: the KORAVEN debugger answered status %d after %u of %u "
                           "bits\n",
                           result, done, bitCount);
            }
            return CSE_FAILURE;
        }
        setCurrentTapState(
            streamEnd(static_cast<CseJtagTapState>(currentTapState), tms + at, piece));
        done += piece;
    }
    return CSE_SUCCESS;
}

}  // namespace CsePluginInterface
