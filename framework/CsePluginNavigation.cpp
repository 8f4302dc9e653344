// SPDX-License-Identifier: Apache-2.0
// The TAP front end: state query, TAP reset and navigation with its lock guard and logs.
#include "framework/CsePlugin.h"
#include "framework/PlatformSleep.h"

namespace CsePluginInterface {

CseJtagTapState CsePlugin::getTAPState() {
    CsePluginTrace trace("CsePlugin::getTAPState");
    const CseJtagTapState state = getTAPStateImpl();
    const char* name = stateName(state);
    trace.setText(name != nullptr ? name : "0 (NULL)");
    return state;
}

CseResult CsePlugin::initializeTAP() {
    CsePluginTrace trace("CsePlugin::initializeTAP");
    return trace.setResult(initializeTAPImpl());
}

CseResult CsePlugin::navigateTAP(CseJtagTapState state, uint32_t count, uint32_t waitMicroseconds) {
    CsePluginTrace trace("CsePlugin::navigateTAP");
    const TapStateLabel from(tapState.get());
    if (!passesLockGuard(trace)) return CSE_FAILURE;
    const CseResult result = navigateTAPImpl(state, count, waitMicroseconds);
    log(4, "CsePlugin::navigateTAP FROM %s TO(%s,%u,%u) returning %d\n", from.text(),
        TapStateLabel(state).text(), count, waitMicroseconds, result);
    return trace.setResult(result);
}

CseResult CsePlugin::navigateTAP(CseJtagTapState state, uint32_t count) {
    CsePluginTrace trace("CsePlugin::navigateTAP");
    const TapStateLabel from(tapState.get());
    if (!passesLockGuard(trace)) return CSE_FAILURE;
    const CseResult result = navigateTAPImpl(state, count);
    log(4, "CsePlugin::navigateTAP FROM %s TO(%s,%u) returning %d\n", from.text(),
        TapStateLabel(state).text(), count, result);
    return trace.setResult(result);
}

CseResult CsePlugin::navigateTAPImpl(CseJtagTapState state, uint32_t count,
                                     uint32_t waitMicroseconds) {
    const CseResult result = navigateTAP(state, count);
    // The wait happens even when the navigation failed.
    if (waitMicroseconds != 0) {
        flush();
        sleepMilliseconds(wholeMillisecondsFor(waitMicroseconds));
        log(4, "<CsePlugin> navigateTAPImpl:Slept for %u microSeconds...\n", waitMicroseconds);
    }
    return result;
}

CseJtagTapState CsePlugin::getTAPStateImpl() {
    return tapState.get();
}

const char* CsePlugin::stateName(CseJtagTapState state) noexcept {
    return CsePluginInterface::stateName(state);
}

uint8_t CsePlugin::tmsPathBits(CseJtagTapState from, CseJtagTapState to) noexcept {
    return CsePluginInterface::tmsPathBits(from, to);
}

uint32_t CsePlugin::tmsPathLength(CseJtagTapState from, CseJtagTapState to) noexcept {
    return CsePluginInterface::tmsPathLength(from, to);
}

}  // namespace CsePluginInterface
