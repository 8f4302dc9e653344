// SPDX-License-Identifier: Apache-2.0
// IR and DR shifts through the whole chain, carried out by the debugger's raw shifts.
#include <algorithm>

#include "framework/CallbackRecord.h"
#include "target/QXCsePlugin.h"

namespace CsePluginInterface {
namespace {

constexpr char kShiftIRName[] = "QXCsePlugin::shiftChainIRImpl";
constexpr char kShiftDRName[] = "QXCsePlugin::shiftChainDRImpl";

// Raw-shift options: 0 keeps TMS at 0 (the TAP stays in the shift state); 8 clocks the last bit
// with TMS 1 (the TAP moves on to Exit1).
constexpr int kStayInShift = 0;
constexpr int kLeaveShiftOnLastBit = 8;

constexpr uint32_t kTdiDumpMaxBytes = 128;
constexpr uint32_t kTdiDumpBytesPerLine = 16;

constexpr char kTargetUnreachable[] =
    "Is KORAVEN connected to the target and the target powered up?\n";

// The client refuses any shift above kMaxRawShiftBits without sending it; clamping first keeps a
// huge count from turning negative in the client's int argument.
int rawShiftBits(uint32_t bitCount) {
    return static_cast<int>(std::min(bitCount, kMaxRawShiftBits + 1));
}

// A long shift without data carries no bytes, so the client would send it whole with one clock
// too many after clamping; such a shift goes in pieces so that the TAP gets exactly bitCount
// clocks. Shifts with data keep the client's refusal.
bool splitsWithoutData(const uint8_t* tdiBuffer, const uint8_t* tdoBuffer, uint32_t bitCount) {
    return tdiBuffer == nullptr && tdoBuffer == nullptr && bitCount > kMaxRawShiftBits;
}

uint32_t bytesFor(uint32_t bitCount) {
    return bitCount / 8 + (bitCount % 8 != 0 ? 1 : 0);
}

}  // namespace

CseResult QXCsePlugin::shiftChainIRImpl(const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                                        const uint8_t* tdiAuxBuffer, uint8_t* tdoAuxBuffer,
                                        uint32_t bitCount, CseJtagTapState endState,
                                        uint32_t opaque1, uint32_t opaque2) {
    (void)tdiAuxBuffer;
    (void)tdoAuxBuffer;
    (void)opaque1;
    (void)opaque2;
    traceEnter(kShiftIRName);
    // Checked before anything moves, so a bad end state leaves the TAP untouched.
    if (!acceptsTapState(kShiftIRName, "end state", endState)) return CSE_FAILURE;
    if (!ensureLink() || !recoverTapState()) return traceExit(kShiftIRName, CSE_FAILURE);
    instructions.moveTo(static_cast<CseJtagTapState>(currentTapState));
    // An IR shift that ends in the DR column must have loaded the instructions first.
    if (refusesShift(
            instructions.admitsChainShift(CSEJTAG_SHIFT_IR, bitCount, endState, irPathBits())))
        return traceExit(kShiftIRName, CSE_FAILURE);

    if (shiftMode == ShiftMode::Merged) {
        if (!shiftMerged(ShiftPath::Ir, tdiBuffer, tdoBuffer, bitCount, endState))
            return traceExit(kShiftIRName, CSE_FAILURE);
    } else if (!shiftSplitIR(tdiBuffer, tdoBuffer, bitCount, endState)) {
        return traceExit(kShiftIRName, CSE_FAILURE);
    }
    logMessage(CSE_MESSAGE_DEBUG, "Exitschiftstate = %d Shiftcount = %d \n",
               static_cast<int>(endState), static_cast<int>(bitCount));
    return traceExit(kShiftIRName, CSE_SUCCESS);
}

bool QXCsePlugin::shiftSplitIR(const uint8_t* tdiBuffer, uint8_t* tdoBuffer, uint32_t bitCount,
                               CseJtagTapState endState) {
    if (currentTapState != CSEJTAG_SHIFT_IR) {
        logMessage(CSE_MESSAGE_DEBUG, "currenttapstate(%d) != shiftIR \n", currentTapState);
        if (navigateTAPImpl(CSEJTAG_SHIFT_IR, 0) != CSE_SUCCESS) return false;
    }
    const bool stays = endState == CSEJTAG_SHIFT_IR;
    if (stays) {
        logMessage(CSE_MESSAGE_DEBUG, "exitstate(%d) == shiftIR\n",
                   static_cast<int>(CSEJTAG_SHIFT_IR));
    } else {
        logMessage(CSE_MESSAGE_DEBUG, "exitstate(%d) != shiftIR \n", static_cast<int>(endState));
    }
    if (splitsWithoutData(tdiBuffer, tdoBuffer, bitCount)) {
        if (!shiftInPieces(nullptr, nullptr, bitCount,
                           stays ? ShiftEnd::StaysInShift : ShiftEnd::LeavesShift)) {
            logMessage(CSE_MESSAGE_ERROR, "%s", kTargetUnreachable);
            return false;
        }
        if (!stays) setCurrentTapState(CSEJTAG_EXIT1_IR);
    } else if (bitCount != 0) {
        // An IR shift is one raw shift; the client's own failures are all negative, while a
        // nonzero status byte of the debugger passes.
        const int result = rawShift(stays ? kStayInShift : kLeaveShiftOnLastBit,
                                    rawShiftBits(bitCount), nullptr, tdiBuffer, tdoBuffer);
        if (result < 0) {
            logMessage(CSE_MESSAGE_ERROR, "%s", kTargetUnreachable);
            return false;
        }
        if (!stays) setCurrentTapState(CSEJTAG_EXIT1_IR);
    }
    if (static_cast<int32_t>(endState) != currentTapState) {
        logMessage(CSE_MESSAGE_DEBUG, "shift to exitstate(%d) != shiftIR\n",
                   static_cast<int>(endState));
        if (navigateTAPImpl(endState, 0) != CSE_SUCCESS) return false;
    }
    return true;
}

CseResult QXCsePlugin::shiftChainDRImpl(const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                                        const uint8_t* tdiAuxBuffer, uint8_t* tdoAuxBuffer,
                                        uint32_t bitCount, CseJtagTapState endState,
                                        uint32_t opaque1, uint32_t opaque2) {
    (void)tdiAuxBuffer;
    (void)tdoAuxBuffer;
    (void)opaque1;
    (void)opaque2;
    traceEnter(kShiftDRName);
    if (!acceptsTapState(kShiftDRName, "end state", endState)) return CSE_FAILURE;
    // Refused before anything moves when a recovery reset the TAP, now or since the instructions
    // were last loaded whole.
    if (!ensureLink() || !recoverTapState()) return traceExit(kShiftDRName, CSE_FAILURE);
    instructions.moveTo(static_cast<CseJtagTapState>(currentTapState));
    if (refusesShift(
            instructions.admitsChainShift(CSEJTAG_SHIFT_DR, bitCount, endState, irPathBits())))
        return traceExit(kShiftDRName, CSE_FAILURE);

    if (shiftMode == ShiftMode::Merged) {
        if (!shiftMerged(ShiftPath::Dr, tdiBuffer, tdoBuffer, bitCount, endState))
            return traceExit(kShiftDRName, CSE_FAILURE);
    } else if (!shiftSplitDR(tdiBuffer, tdoBuffer, bitCount, endState)) {
        return traceExit(kShiftDRName, CSE_FAILURE);
    }
    dumpTdiBuffer(tdiBuffer, bitCount);
    logMessage(CSE_MESSAGE_DEBUG, "Exitschiftstate = %d Shiftcount = %d \n",
               static_cast<int>(endState), static_cast<int>(bitCount));
    return traceExit(kShiftDRName, CSE_SUCCESS);
}

bool QXCsePlugin::shiftSplitDR(const uint8_t* tdiBuffer, uint8_t* tdoBuffer, uint32_t bitCount,
                               CseJtagTapState endState) {
    if (currentTapState != CSEJTAG_SHIFT_DR) {
        logMessage(CSE_MESSAGE_DEBUG, "currenttapstate(%d) != shiftDR \n", currentTapState);
        // The walk itself may meet a front end that had to be connected to again.
        if (navigateTAPImpl(CSEJTAG_SHIFT_DR, 0) != CSE_SUCCESS || refusesDrShift()) return false;
    }
    if (endState == CSEJTAG_SHIFT_DR) {
        logMessage(CSE_MESSAGE_DEBUG, "exitstate(%d) == shiftDR\n",
                   static_cast<int>(CSEJTAG_SHIFT_DR));
        const bool shifted =
            splitsWithoutData(tdiBuffer, tdoBuffer, bitCount)
                ? shiftInPieces(nullptr, nullptr, bitCount, ShiftEnd::StaysInShift)
                : bitCount == 0 || rawShift(kStayInShift, rawShiftBits(bitCount), nullptr,
                                            tdiBuffer, tdoBuffer, AfterReconnect::Fail) == 0;
        if (!shifted) {
            if (!refusesDrShift()) logMessage(CSE_MESSAGE_ERROR, "%s", kTargetUnreachable);
            return false;
        }
    } else {
        logMessage(CSE_MESSAGE_DEBUG, "exitstate(%d) != shiftDR \n", static_cast<int>(endState));
        if (bitCount != 0) {
            if (!shiftInPieces(tdiBuffer, tdoBuffer, bitCount, ShiftEnd::LeavesShift)) {
                (void)refusesDrShift();  // says so when the pieces met a reset
                return false;
            }
            setCurrentTapState(CSEJTAG_EXIT1_DR);
        }
    }
    if (static_cast<int32_t>(endState) != currentTapState) {
        logMessage(CSE_MESSAGE_DEBUG, "shift to exitstate(%d) != shiftDR\n",
                   static_cast<int>(endState));
        if (navigateTAPImpl(endState, 0) != CSE_SUCCESS) return false;
    }
    return true;
}

bool QXCsePlugin::shiftInPieces(const uint8_t* tdiBuffer, uint8_t* tdoBuffer, uint32_t bitCount,
                                ShiftEnd end) {
    // Every piece but the last keeps TMS at 0, so the TAP leaves the shift state only with the
    // last bit.
    const int lastOptions = end == ShiftEnd::LeavesShift ? kLeaveShiftOnLastBit : kStayInShift;
    const uint8_t* tdi = tdiBuffer;
    uint8_t* tdo = tdoBuffer;
    for (uint32_t remaining = bitCount; remaining != 0;) {
        const bool last = remaining <= kMaxRawShiftBits;
        const uint32_t piece = last ? remaining : kMaxRawShiftBits;
        const int options = last ? lastOptions : kStayInShift;
        logMessage(CSE_MESSAGE_DEBUG, "KRV_TAPAccessShiftRaw options = %d \n", options);
        if (rawShift(options, static_cast<int>(piece), nullptr, tdi, tdo, AfterReconnect::Fail) !=
            0) {
            return false;  // the bits earlier pieces captured stay in tdoBuffer
        }
        remaining -= piece;
        const uint32_t pieceBytes = bytesFor(piece);
        if (tdi != nullptr) tdi += pieceBytes;
        if (tdo != nullptr) tdo += pieceBytes;
    }
    return true;
}

void QXCsePlugin::dumpTdiBuffer(const uint8_t* tdiBuffer, uint32_t bitCount) {
    // Up to 138 lines that no callback would receive: not even looked at.
    const CsePluginCallbacks callbacks = CallbackRecord::current();
    if (callbacks.messageCallback == nullptr && callbacks.logCallback == nullptr) return;
    logMessage(CSE_MESSAGE_DEBUG, "TDI Buffer after shift (first 128 bytes):\n");
    const uint32_t byteCount =
        tdiBuffer == nullptr ? 0 : std::min(kTdiDumpMaxBytes, bytesFor(bitCount));
    for (uint32_t i = 0; i < byteCount; ++i) {
        logMessage(CSE_MESSAGE_DEBUG, " %2.2X", tdiBuffer[i]);
        if ((i + 1) % kTdiDumpBytesPerLine == 0) logMessage(CSE_MESSAGE_DEBUG, "\n");
    }
    logMessage(CSE_MESSAGE_DEBUG, "End buffer \n");
}

}  // namespace CsePluginInterface
