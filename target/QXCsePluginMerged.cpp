// SPDX-License-Identifier: Apache-2.0
// Chain shifts and navigations with shifts=merged: the walk into the shift state, the data and the
// walk out go to the debugger as one raw shift carrying TMS and TDI together, so a small shift
// costs one round trip instead of three. The TAP passes through exactly the states the split
// sequence passes, with the same TDI on every clock (0 during walks), so TDO and states agree.
#include <algorithm>
#include <cstring>

#include "framework/CallbackRecord.h"
#include "koraven-cse-plugin/CseTapWalk.h"
#include "target/QXCsePlugin.h"

namespace CsePluginInterface {
namespace {

constexpr char kTargetUnreachable[] =
    "Is KORAVEN connected to the target and the target powered up?\n";

uint32_t bytesFor(uint32_t bitCount) {
    return bitCount / 8 + (bitCount % 8 != 0 ? 1 : 0);
}

void setBit(uint8_t* stream, uint32_t bit) {
    stream[bit / 8] = static_cast<uint8_t>(stream[bit / 8] | (1u << (bit % 8)));
}

void putWalk(uint8_t* tms, uint32_t at, const CseTmsWalk& walk) {
    for (uint32_t k = 0; k < walk.length; ++k) {
        if (((walk.bits >> k) & 1u) != 0) setBit(tms, at + k);
    }
}

// The debugger's status byte passes an IR shift (only the link's own failures fail it), while a
// DR shift needs status 0.
bool shiftFailed(bool instructionPath, int result) {
    return instructionPath ? result < 0 : result != 0;
}

uint32_t roundDownToByte(uint32_t bits) {
    return bits / 8 * 8;
}

uint32_t roundUpToByte(uint32_t bits) {
    return (bits + 7) / 8 * 8;
}

}  // namespace

int QXCsePlugin::sendMergedBlock(uint32_t bits, bool captures, ShiftPath path) {
    // A DR register lost what the pieces before put in it when the front end had to be
    // connected to again; an IR block goes out once more from the state recorded before it.
    return rawShift(0, static_cast<int>(bits), mergedTms, mergedTdi, captures ? mergedTdo : nullptr,
                    path == ShiftPath::Dr ? AfterReconnect::Fail : AfterReconnect::Resend);
}

bool QXCsePlugin::shiftMerged(ShiftPath path, const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                              uint32_t bitCount, CseJtagTapState endState) {
    const bool ir = path == ShiftPath::Ir;
    const char* const name = ir ? "IR" : "DR";
    const CseJtagTapState shift = ir ? CSEJTAG_SHIFT_IR : CSEJTAG_SHIFT_DR;
    const auto from = static_cast<CseJtagTapState>(currentTapState);
    CseTmsWalk in;
    if (from != shift) {
        logMessage(CSE_MESSAGE_DEBUG, "currenttapstate(%d) != shift%s \n", currentTapState, name);
        in = cseWalkTms(from, shift);
    }
    const bool stays = endState == shift;
    if (stays) {
        logMessage(CSE_MESSAGE_DEBUG, "exitstate(%d) == shift%s\n", static_cast<int>(shift), name);
    } else {
        logMessage(CSE_MESSAGE_DEBUG, "exitstate(%d) != shift%s \n", static_cast<int>(endState),
                   name);
    }
    const CseJtagTapState afterData =
        bitCount == 0 || stays ? shift : (ir ? CSEJTAG_EXIT1_IR : CSEJTAG_EXIT1_DR);
    CseTmsWalk out;
    if (endState != afterData) {
        logMessage(CSE_MESSAGE_DEBUG, "shift to exitstate(%d) != shift%s\n",
                   static_cast<int>(endState), name);
        out = cseWalkTms(afterData, endState);
    }
    // An IR shift, or one that stays in the shift state, is one raw shift without merging, so
    // the link refuses one that is longer; merged, it is refused before anything goes out.
    const bool withData = tdiBuffer != nullptr || tdoBuffer != nullptr;
    if ((ir || stays) && withData && bitCount > kMaxRawShiftBits) {
        logMessage(CSE_MESSAGE_ERROR,
                   "a shift %s carries at most %u bits (one raw shift of the debugger), not %u\n",
                   ir ? "of the IR path" : "that stays in Shift-DR", kMaxRawShiftBits, bitCount);
        return false;
    }
    const bool captures = tdoBuffer != nullptr && bitCount != 0;
    const auto fail = [&]() {
        if (ir || !refusesDrShift()) logMessage(CSE_MESSAGE_ERROR, "%s", kTargetUnreachable);
        return false;
    };

    // The walk in and as much data as fits, or everything.
    const uint32_t total = in.length + bitCount + out.length;
    const bool whole = total <= kMaxMergedBits;
    // Byte-aligned, so that the pieces after it start on a byte; and short of the end, so that the
    // last block has data for its TMS-1 clock.
    const uint32_t firstData =
        whole ? bitCount
              : std::min(roundDownToByte(kMaxMergedBits - in.length), roundDownToByte(bitCount - 1));
    const uint32_t firstBits = whole ? total : in.length + firstData;
    if (firstBits == 0) return true;
    std::memset(mergedTms, 0, bytesFor(firstBits));
    std::memset(mergedTdi, 0, bytesFor(firstBits));
    putWalk(mergedTms, 0, in);
    if (tdiBuffer != nullptr) copyBits(mergedTdi, in.length, tdiBuffer, 0, firstData);
    if (whole) {
        if (bitCount != 0 && !stays) setBit(mergedTms, in.length + bitCount - 1);
        putWalk(mergedTms, in.length + bitCount, out);
    }
    if (!ir) logMessage(CSE_MESSAGE_DEBUG, "KRV_TAPAccessShiftRaw options = %d \n", 0);
    if (shiftFailed(ir, sendMergedBlock(firstBits, captures, path))) return fail();
    if (captures) copyBits(tdoBuffer, 0, mergedTdo, in.length, firstData);
    if (whole) {
        setCurrentTapState(endState);
        return true;
    }
    setCurrentTapState(shift);

    // Data alone in raw shifts of one stream, byte-aligned in the caller's buffers, until the
    // rest and the walk out fit into one block.
    uint32_t position = firstData;
    uint32_t remaining = bitCount - firstData;
    while (remaining + out.length > kMaxMergedBits) {
        const uint32_t piece =
            std::min(kMaxRawShiftBits, roundUpToByte(remaining + out.length - kMaxMergedBits));
        if (!ir) logMessage(CSE_MESSAGE_DEBUG, "KRV_TAPAccessShiftRaw options = %d \n", 0);
        const int result = rawShift(0, static_cast<int>(piece), nullptr,
                                    tdiBuffer != nullptr ? tdiBuffer + position / 8 : nullptr,
                                    captures ? tdoBuffer + position / 8 : nullptr,
                                    AfterReconnect::Fail);
        if (shiftFailed(ir, result)) return fail();
        position += piece;
        remaining -= piece;
    }

    // The rest of the data and the walk out.
    const uint32_t lastBits = remaining + out.length;
    std::memset(mergedTms, 0, bytesFor(lastBits));
    std::memset(mergedTdi, 0, bytesFor(lastBits));
    if (tdiBuffer != nullptr) copyBits(mergedTdi, 0, tdiBuffer, position, remaining);
    if (!stays) setBit(mergedTms, remaining - 1);
    putWalk(mergedTms, remaining, out);
    if (!ir) logMessage(CSE_MESSAGE_DEBUG, "KRV_TAPAccessShiftRaw options = %d \n", 0);
    const int result =
        rawShift(0, static_cast<int>(lastBits), mergedTms, mergedTdi,
                 captures ? mergedTdo : nullptr, AfterReconnect::Fail);
    if (shiftFailed(ir, result)) return fail();
    if (captures) copyBits(tdoBuffer, position, mergedTdo, 0, remaining);
    setCurrentTapState(endState);
    return true;
}

bool QXCsePlugin::walkWithClocks(const uint8_t* path, uint32_t pathBits, uint32_t count) {
    // TMS zeros after the walk; what does not fit into the block follows as clocks alone.
    const uint32_t clocks = std::min(count, kMaxMergedBits - pathBits);
    const uint32_t bits = pathBits + clocks;
    std::memset(mergedTms, 0, bytesFor(bits));
    copyBits(mergedTms, 0, path, 0, pathBits);
    if (rawShift(0, static_cast<int>(bits), mergedTms, nullptr, nullptr) < 0) return false;
    return clockExtraCycles(count - clocks);
}

}  // namespace CsePluginInterface
