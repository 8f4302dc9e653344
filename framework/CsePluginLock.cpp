// SPDX-License-Identifier: Apache-2.0
// The exclusive lock the host takes before it moves the TAP or scans the chain.
#include "framework/CsePlugin.h"

namespace CsePluginInterface {

CseResult CsePlugin::lockTarget(uint32_t opaque) {
    CsePluginTrace trace("CsePlugin::lockTarget");
    return trace.setResult(lockTargetImpl(opaque));
}

CseResult CsePlugin::unlockTarget() {
    CsePluginTrace trace("CsePlugin::unlockTarget");
    return trace.setResult(unlockTargetImpl());
}

CseResult CsePlugin::cleanLocks() {
    CsePluginTrace trace("CsePlugin::cleanLocks");
    return trace.setResult(cleanLocksImpl());
}

CseResult CsePlugin::setLocked(bool value) {
    locked = value;
    return CSE_SUCCESS;
}

CseResult CsePlugin::lockTargetImpl(uint32_t) {
    if (locked) {
        log(1, "<CsePlugin> Port already locked by same handle!\n");
        return CSE_FAILURE;
    }
    locked = true;  // first: the reset and navigation below require the lock
    initializeTAP();
    // The lock stays taken even when this fails; the caller gives it back with unlockTarget.
    return navigateTAP(CSEJTAG_RUN_TEST_IDLE, 0);
}

CseResult CsePlugin::unlockTargetImpl() {
    if (!locked) {
        log(1, "<CsePlugin> Port lock not owned by this process\n");
        return CSE_FAILURE;
    }
    if (tapState.get() != CSEJTAG_RUN_TEST_IDLE) navigateTAP(CSEJTAG_RUN_TEST_IDLE, 0);
    locked = false;
    return CSE_SUCCESS;
}

CseResult CsePlugin::cleanLocksImpl() {
    log(2, "CsePlugin::cleanLocksImpl() is not implemented for this Target\n");
    return CSE_FAILURE;
}

bool CsePlugin::passesLockGuard(CsePluginTrace& trace) const {
    if (locked) return true;
    log(1, "<CsePlugin> Operation not permitted without obtaining an exclusive lock!\n");
    trace.setResult(CSE_FAILURE);
    return false;
}

}  // namespace CsePluginInterface
