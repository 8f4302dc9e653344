// SPDX-License-Identifier: Apache-2.0
// Chain shifts and navigations with shifts=merged: the walk into the shift state, the data and the
// walk out go to the debugger as one raw shift carrying TMS and TDI together, so a shift that
// fits costs one round trip instead of three. The TAP passes through exactly the states the split
// sequence passes, with the same TDI on every clock (0 during walks), so TDO and states agree.
#include <algorithm>
#include <cstring>

#include "framework/CallbackRecord.h"
#include "koraven-cse-plugin/CseTapWalk.h"
#include "target/MergedPlan.h"
#include "target/QXCsePlugin.h"

namespace CsePluginInterface {
namespace {

// Raw-shift options: 8 clocks the last bit with TMS 1 (the TAP moves on to Exit1).
constexpr int kLeaveShiftOnLastBit = 8;

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

}  // namespace

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
    const auto fail = [&]() {
        if (ir || !refusesDrShift()) logMessage(CSE_MESSAGE_ERROR, "%s", kTargetUnreachable);
        return false;
    };
    // A walk alone goes as TMS only, as a navigation does (a status byte of the debugger passes);
    // from the state recorded before it, it may go out again.
    const auto walkAlone = [&](const CseTmsWalk& walk) {
        return rawShift(0, static_cast<int>(walk.length), &walk.bits, nullptr, nullptr) >= 0;
    };

    if (bitCount == 0) {
        // Nothing to shift: both walks in one TMS stream.
        if (in.length + out.length == 0) return true;
        std::memset(mergedTms, 0, 2);
        putWalk(mergedTms, 0, in);
        putWalk(mergedTms, in.length, out);
        if (rawShift(0, static_cast<int>(in.length + out.length), mergedTms, nullptr, nullptr) < 0)
            return fail();
        setCurrentTapState(endState);
        return true;
    }

    const MergedPlan plan =
        planMergedShift(in.length, out.length, bitCount, kMaxRawShiftBits, kMaxMergedBits);
    if (in.length != 0 && !plan.walkInWithData) {
        if (!walkAlone(in)) return fail();
        setCurrentTapState(shift);
        // The walk may have met a restarted front end: the DR path is then the reset one's.
        if (!ir && refusesDrShift()) return false;
    }
    const bool captures = tdoBuffer != nullptr;
    uint32_t position = 0;
    for (uint32_t remaining = bitCount; remaining != 0;) {
        const bool first = position == 0;
        const uint32_t piece = first ? plan.firstPieceBits : std::min(kMaxRawShiftBits, remaining);
        const bool last = piece == remaining;
        const bool withIn = first && plan.walkInWithData;
        const bool withOut = last && plan.walkOutWithData;
        const bool leaves = last && !stays;
        int result = 0;
        if (withIn || withOut) {
            // Both streams: the walks around the data, TDI 0 during them.
            const uint32_t before = withIn ? in.length : 0;
            const uint32_t bits = before + piece + (withOut ? out.length : 0);
            std::memset(mergedTms, 0, bytesFor(bits));
            std::memset(mergedTdi, 0, bytesFor(bits));
            if (withIn) putWalk(mergedTms, 0, in);
            if (tdiBuffer != nullptr) copyBits(mergedTdi, before, tdiBuffer, position, piece);
            if (leaves) setBit(mergedTms, before + piece - 1);
            if (withOut) putWalk(mergedTms, before + piece, out);
            if (!ir) logMessage(CSE_MESSAGE_DEBUG, "KRV_TAPAccessShiftRaw options = %d \n", 0);
            // A DR register lost what the pieces before put in it when the front end had to be
            // connected to again; the first IR block goes out once more from the recorded state.
            result = rawShift(0, static_cast<int>(bits), mergedTms, mergedTdi,
                              captures ? mergedTdo : nullptr,
                              ir && first ? AfterReconnect::Resend : AfterReconnect::Fail);
            if (!shiftFailed(ir, result) && captures)
                copyBits(tdoBuffer, position, mergedTdo, before, piece);
        } else {
            // Data alone, from the caller's buffers, whose pieces start on a byte.
            const int options = leaves ? kLeaveShiftOnLastBit : 0;
            if (!ir)
                logMessage(CSE_MESSAGE_DEBUG, "KRV_TAPAccessShiftRaw options = %d \n", options);
            result = rawShift(options, static_cast<int>(piece), nullptr,
                              tdiBuffer != nullptr ? tdiBuffer + position / 8 : nullptr,
                              captures ? tdoBuffer + position / 8 : nullptr, AfterReconnect::Fail);
        }
        if (shiftFailed(ir, result)) return fail();
        setCurrentTapState(!last ? shift : withOut ? endState : afterData);
        position += piece;
        remaining -= piece;
    }
    if (out.length != 0 && !plan.walkOutWithData) {
        if (!walkAlone(out)) return fail();
        setCurrentTapState(endState);
    }
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
