// SPDX-License-Identifier: Apache-2.0
// The target's share of the exclusive lock: it switches its navigation on and off around the
// framework's lock, and ends the debugger's TAP access on unlock.
#include "remote/RemoteLink.h"
#include "target/QXCsePlugin.h"

namespace CsePluginInterface {
namespace {

constexpr char kLockName[] = "QXCsePlugin::lockTargetImpl";
constexpr char kUnlockName[] = "QXCsePlugin::unlockTargetImpl";

}  // namespace

CseResult QXCsePlugin::lockTargetImpl(uint32_t opaque) {
    lockedMode =
        true;  // first, so the reset and navigation the framework's lock runs are carried out
    traceEnter(kLockName);
    const bool takesLock = !locked;
    // A lock already held is only reported by the framework; the target answers success anyway.
    const CseResult reset = CsePlugin::lockTargetImpl(opaque);
    // But a reset or walk that went unanswered leaves the TAP anywhere while currentTapState says
    // Run-Test/Idle: the host must hear of it, or its next shifts would pass with wrong bits.
    const bool tapUnknown = takesLock && (resetUnanswered || reset != CSE_SUCCESS);
    return traceExit(kLockName, tapUnknown ? CSE_FAILURE : CSE_SUCCESS);
}

CseResult QXCsePlugin::unlockTargetImpl() {
    traceEnter(kUnlockName);
    lockedMode = false;
    // Moves nothing now that navigation is off; it leaves the TAP where the last operation put it.
    (void)navigateTAPImpl(CSEJTAG_SELECT_DR_SCAN, 0);
    const int released = KRV_ReleaseTAP();
    if (released != 0) {
        reportLinkFailure(released);
        logMessage(CSE_MESSAGE_DEBUG,
                   "Setting errorCode to CSE_FAILURE (but returning CSE_SUCCESS!)");
    }
    tapReleased = released == 0;
    (void)CsePlugin::unlockTargetImpl();
    return traceExit(kUnlockName, CSE_SUCCESS);
}

}  // namespace CsePluginInterface
