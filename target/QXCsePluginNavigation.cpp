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

// The client's own failures (-1 no reply, -2 not sent, -3 too long, -6 no memory) are all negative;
// the debugger's status bytes are 0..255.
bool rawShiftFailed(int result) {
    return result < 0;
}

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

    uint8_t path[kTmsPathBytes] = {};
    const uint32_t pathBits = walkTmsPath(from, state, path);
    if (rawShiftFailed(
            KRV_TAPAccessShiftRaw(0, static_cast<int>(pathBits), path, nullptr, nullptr))) {
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
        if (rawShiftFailed(
                KRV_TAPAccessShiftRaw(0, static_cast<int>(piece), kZeroTms, nullptr, nullptr))) {
            return false;
        }
        remaining -= piece;
    }
    return true;
}

CseResult QXCsePlugin::initializeTAPImpl() {
    traceEnter(kInitializeTAPName);
    resetUnanswered =
        rawShiftFailed(KRV_TAPAccessShiftRaw(0, kResetTmsBits, kResetTms, nullptr, nullptr));
    if (resetUnanswered) return traceExit(kInitializeTAPName, CSE_FAILURE);
    setCurrentTapState(CSEJTAG_TEST_LOGIC_RESET);
    return traceExit(kInitializeTAPName, CSE_SUCCESS);
}

}  // namespace CsePluginInterface
