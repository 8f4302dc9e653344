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

// The client's own failures (-1 no reply, -2 not sent, -3 too long, -4 no link any more, -6 no
// memory) are all negative; the debugger's status bytes are 0..255.
bool rawShiftFailed(int result) {
    return result < 0;
}

// Raw-shift option 8: the last bit has TMS 1.
constexpr int kLeavesShift = 8;

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
    if (!ensureLink() || !recoverTapState()) return traceExit(kNavigateName, CSE_FAILURE);
    instructions.moveTo(from);

    uint8_t path[kTmsPathBytes] = {};
    const uint32_t pathBits = walkTmsPath(from, state, path);
    // Merged, the walk and its extra clocks are one TMS stream.
    const bool merged = shiftMode == ShiftMode::Merged && count != 0;
    if (merged) {
        logMessage(CSE_MESSAGE_DEBUG, "Extra cycle Count = %d \n", static_cast<int>(count));
        if (!walkWithClocks(path, pathBits, count)) {
            logMessage(CSE_MESSAGE_ERROR, "navigateTAPImpl: RawShift failed \n");
            return traceExit(kNavigateName, CSE_FAILURE);
        }
    } else if (rawShiftFailed(rawShift(0, static_cast<int>(pathBits), path, nullptr, nullptr))) {
        logMessage(CSE_MESSAGE_ERROR, "navigateTAPImpl: RawShift failed \n");
        return traceExit(kNavigateName, CSE_FAILURE);
    }
    setCurrentTapState(state);

    if (count != 0) {
        if (!merged)
            logMessage(CSE_MESSAGE_DEBUG, "Extra cycle Count = %d \n", static_cast<int>(count));
        // TMS stays 0, so the state does not change; but in Shift-DR or Shift-IR the clocks shift
        // the register, so clocks that may not have happened make the next bits unknown.
        if (!merged && !clockExtraCycles(count)) {
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
    resetUnanswered =
        !ensureLink() || rawShiftFailed(rawShift(0, kResetTmsBits, kResetTms, nullptr, nullptr));
    if (resetUnanswered) return traceExit(kInitializeTAPName, CSE_FAILURE);
    tapUncertain = false;  // the reset itself brought the TAP to a known state
    instructions.reset(CSEJTAG_TEST_LOGIC_RESET);  // and the host asked for it
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
    int resetResult = sendRawShift(0, kResetTmsBits, kResetTms, nullptr, nullptr);
    // The first request after an outage may find a front end that was restarted meanwhile.
    if (resetResult == kLinkLostResult && ensureLink())
        resetResult = sendRawShift(0, kResetTmsBits, kResetTms, nullptr, nullptr);
    const bool reset = !rawShiftFailed(resetResult);
    ++recoveryResets;
    const bool walkedBack = reset && !rawShiftFailed(sendRawShift(0, static_cast<int>(pathBits),
                                                                  path, nullptr, nullptr));
    // Even a reset whose answer was lost may have reached the chain: the host's instructions are
    // gone either way, and the walk back is none of the host's clocks.
    instructions.recovered(recorded);
    tapUncertain = !walkedBack;
    return walkedBack;
}

int QXCsePlugin::sendRawShift(int options, int bits, const uint8_t* tms, const uint8_t* tdi,
                              uint8_t* tdo) {
    tapReleased = false;
    const int result = KRV_TAPAccessShiftRaw(options, bits, tms, tdi, tdo);
    // Every clock carried out moves what the guard knows, whoever asked for it.
    if (result >= 0 && tms != nullptr) {
        instructions.followStream(tms, static_cast<uint32_t>(bits), irPathBits());
    } else if (result >= 0) {
        instructions.followShift(static_cast<uint32_t>(bits), (options & kLeavesShift) != 0,
                                 irPathBits());
    }
    // No reply, or a request that went out in part: the debugger may have clocked it.
    if (result == -1 || result == -2) tapUncertain = true;
    if (result == kLinkLostResult) linkLost = true;
    reportLinkFailure(result);
    return result;
}

int QXCsePlugin::rawShift(int options, int bits, const uint8_t* tms, const uint8_t* tdi,
                          uint8_t* tdo, AfterReconnect after) {
    int result = sendRawShift(options, bits, tms, tdi, tdo);
    if (result == kLinkLostResult && ensureLink() && recoverTapState()) {
        result = after == AfterReconnect::Resend ? sendRawShift(options, bits, tms, tdi, tdo)
                                                 : kLinkLostResult;
    }
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
    }
}

bool QXCsePlugin::ensureLink() {
    if (!linkLost) return true;
    if (!reconnectLink()) return false;
    linkLost = false;
    tapUncertain = true;  // the TAP stands wherever the front end's restart left it
    return true;
}

bool QXCsePlugin::reconnectLink() {
    logMessage(CSE_MESSAGE_WARNING,
               "the KORAVEN debugger's front end holds no link with this plug-in any more (it was "
               "restarted, or another client took it): connecting to it again\n");
    KRV_Disconnect();
    const bool connected = KRV_Connect() == 0;
    if (!connected || KRV_Attach() != 0 || KRV_ExecuteCommand("JTAG.PIN ENABLE") < 0) {
        logMessage(CSE_MESSAGE_ERROR,
                   "cannot connect to the KORAVEN debugger's front end again; the next call "
                   "tries once more\n");
        if (!connected) logConnectFailure();  // why: refused, nothing answered, ...
        return false;
    }
    logMessage(CSE_MESSAGE_WARNING, "connected to the KORAVEN debugger's front end again\n");
    return true;
}

bool QXCsePlugin::refusesDrShift() {
    return refusesShift(instructions.known());
}

bool QXCsePlugin::refusesShift(bool admitted) {
    if (admitted) return false;
    logMessage(CSE_MESSAGE_ERROR,
               "the TAP was reset to recover from a failed call: the instruction registers hold "
               "their reset values and a DR register may have taken the bits shifted so far; "
               "shift the instructions again (one IR shift of the whole IR path, from Capture-IR "
               "to Update-IR) or reset the TAP before any DR shift\n");
    return true;
}

}  // namespace CsePluginInterface
