// SPDX-License-Identifier: Apache-2.0
// Moving the chain's TAP controllers by TMS sequences the debugger clocks out, and the TAP reset.
#include <algorithm>

#include "remote/RemoteLink.h"
#include "target/QXCsePlugin.h"
#include "target/TmsPathWalk.h"

namespace CsePluginInterface {
namespace {

constexpr char kNavigateName[] = "QXCsePlugin::navigateTAPImpl";
constexpr char kInitializeTAPName[] = "QXCsePlugin::initializeTAPImpl";

// Six TMS ones bring every TAP controller to Test-Logic-Reset from any state.
constexpr uint8_t kResetTms[1] = {0xFF};
constexpr int kResetTmsBits = 6;

// TMS zeros for extra cycles, one raw shift's worth; read-only, so no allocation per call.
constexpr uint8_t kZeroTms[kMaxRawShiftBits / 8] = {};

// The client's own failures (-1 no reply, -2 not sent, -3 too long, -4 link lost, -6 no memory)
// are all negative; the debugger's status bytes are 0..255.
bool rawShiftFailed(int result) {
    return result < 0;
}

// TMS 0 leaves every state within three clocks for one it keeps (Run-Test/Idle, Shift, Pause).
constexpr uint32_t kClocksToSettle = 3;

}  // namespace

CseResult QXCsePlugin::navigateTAPImpl(CseJtagTapState state, uint32_t count) {
    traceEnter(kNavigateName);
    const CseJtagTapState from = static_cast<CseJtagTapState>(currentTapState);
    if (!acceptsTapState(kNavigateName, "goal state", state) ||
        !acceptsTapState(kNavigateName, "current state", from)) {
        return CSE_FAILURE;
    }
    if (!lockedMode) {
        logMessage(CSE_MESSAGE_DEBUG, "navigateTAPImpl() called in unlocked mode \n");
        return traceExit(kNavigateName, CSE_SUCCESS);
    }
    if (!recoverTapState()) return traceExit(kNavigateName, CSE_FAILURE);

    uint8_t path[kTmsPathBytes] = {};
    const uint32_t pathBits = walkTmsPath(from, state, path);
    if (rawShiftFailed(rawShift(0, static_cast<int>(pathBits), path, nullptr, nullptr))) {
        logMessage(CSE_MESSAGE_ERROR, "navigateTAPImpl: RawShift failed \n");
        return traceExit(kNavigateName, CSE_FAILURE);
    }
    setCurrentTapState(state);

    if (count != 0) {
        logMessage(CSE_MESSAGE_DEBUG, "Extra cycle Count = %d \n", static_cast<int>(count));
        // TMS stays 0, so the state does not change; but in Shift-DR or Shift-IR the clocks shift
        // the register, so clocks that may not have happened make the next bits unknown.
        if (!clockExtraCycles(count)) {
            logMessage(CSE_MESSAGE_ERROR, "navigateTAPImpl: RawShift failed \n");
            return traceExit(kNavigateName, CSE_FAILURE);
        }
        // Outside the states TMS 0 keeps, the clocks move the TAP on: Capture-DR to Shift-DR.
        for (uint32_t clock = 0; clock < std::min(count, kClocksToSettle); ++clock) {
            tapState.clock(false);
        }
        setCurrentTapState(tapState.get());
    }
    logMessage(CSE_MESSAGE_DEBUG, "Exit navigateTAPimpl() with currentTapState = %d \n",
               currentTapState);
    return traceExit(kNavigateName, CSE_SUCCESS);
}

bool QXCsePlugin::clockExtraCycles(uint32_t count) {
    // One raw shift carries at most kMaxRawShiftBits, so a longer run goes out in several.
    for (uint32_t remaining = count; remaining != 0;) {
        const uint32_t piece = std::min(remaining, kMaxRawShiftBits);
        // A failing piece means the link is gone; the rest would only wait for time-outs.
        if (rawShiftFailed(rawShift(0, static_cast<int>(piece), kZeroTms, nullptr, nullptr))) {
            return false;
        }
        remaining -= piece;
    }
    return true;
}

CseResult QXCsePlugin::initializeTAPImpl() {
    traceEnter(kInitializeTAPName);
    resetUnanswered = rawShiftFailed(rawShift(0, kResetTmsBits, kResetTms, nullptr, nullptr));
    if (resetUnanswered) return traceExit(kInitializeTAPName, CSE_FAILURE);
    tapUncertain = false;  // the reset itself brought the TAP to a known state
    setCurrentTapState(CSEJTAG_TEST_LOGIC_RESET);
    return traceExit(kInitializeTAPName, CSE_SUCCESS);
}

bool QXCsePlugin::recoverTapState() {
    if (!tapUncertain) return true;
    const CseJtagTapState recorded = static_cast<CseJtagTapState>(currentTapState);
    logMessage(CSE_MESSAGE_WARNING,
               "TAP state unknown after a failed shift: resetting the TAP and walking back to %s; "
               "the instruction registers now hold their reset values\n",
               stateName(recorded));
    uint8_t path[kTmsPathBytes] = {};
    const uint32_t pathBits = walkTmsPath(CSEJTAG_TEST_LOGIC_RESET, recorded, path);
    if (rawShiftFailed(rawShift(0, kResetTmsBits, kResetTms, nullptr, nullptr)) ||
        rawShiftFailed(rawShift(0, static_cast<int>(pathBits), path, nullptr, nullptr))) {
        tapUncertain = true;
        return false;
    }
    tapUncertain = false;
    return true;
}

int QXCsePlugin::rawShift(int options, int bits, const uint8_t* tms, const uint8_t* tdi,
                          uint8_t* tdo) {
    tapReleased = false;
    const int result = KRV_TAPAccessShiftRaw(options, bits, tms, tdi, tdo);
    // No reply, or a request that went out in part: the debugger may have clocked it.
    if (result == -1 || result == -2) tapUncertain = true;
    reportLinkFailure(result);
    return result;
}

void QXCsePlugin::reportLinkFailure(int result) {
    if (result == -1) {
        // Without this line a lost datagram would read like a board without power.
        logMessage(CSE_MESSAGE_ERROR,
                   "no answer from the KORAVEN debugger within the reply time-out (timeout=): a "
                   "datagram was lost or the answer came late\n");
    } else if (result == -2) {
        logMessage(CSE_MESSAGE_ERROR, "request not sent whole to the KORAVEN debugger\n");
    } else if (result == kLinkLostResult) {
        logMessage(CSE_MESSAGE_ERROR,
                   "KORAVEN debugger no longer answers this link: close and open the target "
                   "again\n");
    }
}

}  // namespace CsePluginInterface
