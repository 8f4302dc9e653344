// SPDX-License-Identifier: Apache-2.0
// Flush, pins, waits, commands, comments, headers, scan end states and operation starts:
// traced wrappers whose defaults (except the wait) say the target does not implement them.
#include "framework/CsePlugin.h"
#include "framework/PlatformSleep.h"

namespace CsePluginInterface {

CseResult CsePlugin::flush() {
    CsePluginTrace trace("CsePlugin::flush");
    return trace.setResult(flushImpl());
}

CseResult CsePlugin::setPin(uint32_t pin, uint32_t value) {
    CsePluginTrace trace("CsePlugin::setPin");
    return trace.setResult(setPinImpl(pin, value));
}

CseResult CsePlugin::getPin(uint32_t pin, uint32_t value) {
    CsePluginTrace trace("CsePlugin::getPin");
    return trace.setResult(getPinImpl(pin, value));
}

CseResult CsePlugin::pulsePin(uint32_t pin, uint32_t value) {
    CsePluginTrace trace("CsePlugin::pulsePin");
    return trace.setResult(pulsePinImpl(pin, value));
}

CseResult CsePlugin::waitTime(uint32_t microseconds) {
    CsePluginTrace trace("CsePlugin::waitTime");
    return trace.setResult(waitTimeImpl(microseconds));
}

CseResult CsePlugin::setWaitTimeAndRetries(uint32_t waitTime, uint32_t retries) {
    CsePluginTrace trace("CsePlugin::setWaitTimeAndRetries");
    return trace.setResult(setWaitTimeAndRetriesImpl(waitTime, retries));
}

CseResult CsePlugin::sendCommand(const char* command, const void* inData, uint32_t inSize,
                                 void* outData, uint32_t outSize, uint32_t opaque1,
                                 uint32_t opaque2) {
    CsePluginTrace trace("CsePlugin::sendCommand");
    return trace.setResult(
        sendCommandImpl(command, inData, inSize, outData, outSize, opaque1, opaque2));
}

CseResult CsePlugin::writeComment(uint32_t comment) {
    CsePluginTrace trace("CsePlugin::writeComment");
    return trace.setResult(writeCommentImpl(comment));
}

CseResult CsePlugin::writeHeader(uint32_t header) {
    CsePluginTrace trace("CsePlugin::writeHeader");
    return trace.setResult(writeHeaderImpl(header));
}

CseResult CsePlugin::scanEndState(uint32_t irEndState, uint32_t drEndState) {
    CsePluginTrace trace("CsePlugin::scanEndState");
    return trace.setResult(scanEndStateImpl(irEndState, drEndState));
}

CseResult CsePlugin::startOperation(uint32_t operation) {
    CsePluginTrace trace("CsePlugin::startOperation");
    return trace.setResult(startOperationImpl(operation));
}

CseResult CsePlugin::waitTimeImpl(uint32_t microseconds) {
    flush();  // result ignored: the wait happens whether or not the cable had anything queued
    if (microseconds != 0) sleepMilliseconds(wholeMillisecondsFor(microseconds));
    log(4, "<CsePlugin> waitTimeImpl:Slept for %u us...\n", microseconds);
    return CSE_SUCCESS;
}

CseResult CsePlugin::flushImpl() {
    log(2, "CsePlugin::flushImpl() is not implemented for this Target\n");
    return CSE_FAILURE;
}

CseResult CsePlugin::setPinImpl(uint32_t, uint32_t) {
    log(2, "CsePlugin::setPinImpl() is not implemented for this Target\n");
    return CSE_FAILURE;
}

CseResult CsePlugin::getPinImpl(uint32_t, uint32_t) {
    log(2, "CsePlugin::getPinImpl() is not implemented for this Target\n");
    return CSE_FAILURE;
}

CseResult CsePlugin::pulsePinImpl(uint32_t, uint32_t) {
    log(2, "CsePlugin::pulsePinImpl() is not implemented for this Target\n");
    return CSE_FAILURE;
}

CseResult CsePlugin::setWaitTimeAndRetriesImpl(uint32_t, uint32_t) {
    log(2, "CsePlugin::setWaitTimeAndRetriesImpl() is not implemented for this Target\n");
    return CSE_FAILURE;
}

CseResult CsePlugin::sendCommandImpl(const char*, const void*, uint32_t, void*, uint32_t, uint32_t,
                                     uint32_t) {
    log(2, "CsePlugin::sendCommandImpl() is not implemented for this Target\n");
    return CSE_FAILURE;
}

CseResult CsePlugin::writeCommentImpl(uint32_t) {
    log(2, "CsePlugin::writeCommentImpl() is not implemented for this Target\n");
    return CSE_FAILURE;
}

CseResult CsePlugin::writeHeaderImpl(uint32_t) {
    log(2, "CsePlugin::writeHeaderImpl() is not implemented for this Target\n");
    return CSE_FAILURE;
}

CseResult CsePlugin::scanEndStateImpl(uint32_t, uint32_t) {
    log(2, "CsePlugin::scanEndStateImpl() is not implemented for this Target\n");
    return CSE_FAILURE;
}

CseResult CsePlugin::startOperationImpl(uint32_t) {
    log(2, "CsePlugin::startOperationImpl() is not implemented for this Target\n");
    return CSE_FAILURE;
}

}  // namespace CsePluginInterface
