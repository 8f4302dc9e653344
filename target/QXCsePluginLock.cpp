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
    // A lock already held is only reported by the framework; the target answers success anyway.
    (void)CsePlugin::lockTargetImpl(opaque);
    return traceExit(kLockName, CSE_SUCCESS);
}

CseResult QXCsePlugin::unlockTargetImpl() {
    traceEnter(kUnlockName);
    lockedMode = false;
    // Moves nothing now that navigation is off; it leaves the TAP where the last operation put it.
    (void)navigateTAPImpl(CSEJTAG_SELECT_DR_SCAN, 0);
    if (KRV_ReleaseTAP() != 0) {
        logMessage(CSE_MESSAGE_DEBUG,
                   "Setting errorCode to CSE_FAILURE (but returning CSE_SUCCESS!)");
    }
    (void)CsePlugin::unlockTargetImpl();
    return traceExit(kUnlockName, CSE_SUCCESS);
}

}  // namespace CsePluginInterface
