// SPDX-License-Identifier: Apache-2.0
// Construction, destruction, open/close and the target queries.
#include <cstdio>
#include <cstring>

#include "framework/CsePlugin.h"

namespace CsePluginInterface {

CsePlugin::CsePlugin() {
    CsePluginTrace trace("CsePlugin::CsePlugin");
    std::snprintf(targetInfo.name, sizeof targetInfo.name, "%s", "CSE Plug-in");
    std::snprintf(targetInfo.version, sizeof targetInfo.version, "%s", "CsePlugin Version 1.0");
}

CsePlugin::~CsePlugin() {
    CsePluginTrace trace("CsePlugin::~CsePlugin");
}

CseResult CsePlugin::initializeTarget(uint32_t argc, const char* const* argv) {
    CsePluginTrace trace("CsePlugin::initializeTarget");
    return trace.setResult(initializeTargetImpl(argc, argv));
}

CseResult CsePlugin::openTarget(uint32_t argc, const char* const* argv, uint32_t opaque1,
                                uint32_t opaque2) {
    CsePluginTrace trace("CsePlugin::openTarget");
    if (isOpened()) {
        log(2, "Closing previously opened connection\n");
        closeTarget();
    }
    if (const char* type = findKey(argc, argv, "type"); type != nullptr) {
        std::memset(targetInfo.type, 0, sizeof targetInfo.type);
        std::snprintf(targetInfo.type, sizeof targetInfo.type, "%s", type);
    }
    if (cseFailed(initializeTarget(argc, argv))) return CSE_FAILURE;  // exit text stays empty
    opened = false;
    const CseResult result = openTargetImpl(argc, argv, opaque1, opaque2);
    opened = !cseFailed(result);
    return trace.setResult(result);
}

CseResult CsePlugin::closeTarget() {
    CsePluginTrace trace("CsePlugin::closeTarget");
    if (!isOpened()) {
        postMessage(CSE_MESSAGE_ERROR,
                    "<CsePlugin> closeTarget() called but target was not opened!\n");
        return trace.setResult(CSE_FAILURE);
    }
    if (locked) unlockTarget();
    const CseResult result = closeTargetImpl();
    opened = false;
    return trace.setResult(result);
}

bool CsePlugin::isOpened() {
    CsePluginTrace trace("CsePlugin::isOpened");
    trace.setText(opened ? "true" : "false");
    return opened;
}

CseResult CsePlugin::isConnected(uint32_t* connected) {
    CsePluginTrace trace("CsePlugin::isConnected");
    if (connected == nullptr) {
        log(1, "<CsePlugin> isConnected called with a NULL pointer\n");
        return trace.setResult(CSE_FAILURE);
    }
    return trace.setResult(isConnectedImpl(connected));
}

CseResult CsePlugin::getTargetInfo(CseTargetInfo* info) {
    CsePluginTrace trace("CsePlugin::getTargetInfo");
    if (info == nullptr) {
        log(1, "<CsePlugin> getTargetInfo called with a NULL pointer\n");
        return trace.setResult(CSE_FAILURE);
    }
    return trace.setResult(getTargetInfoImpl(info));
}

CseResult CsePlugin::isFileOutput(uint32_t* flag) {
    CsePluginTrace trace("CsePlugin::isFileOutput");
    if (flag == nullptr) {
        log(1, "<CsePlugin> isFileOutput called with a NULL pointer\n");
        return trace.setResult(CSE_FAILURE);
    }
    return trace.setResult(isFileOutputImpl(flag));
}

void CsePlugin::setHandle(uint32_t value) {
    handle = value;
}

void CsePlugin::setClientData(uint32_t value) {
    clientData = value;
}

CseResult CsePlugin::initializeTargetImpl(uint32_t, const char* const*) {
    return CSE_SUCCESS;
}

CseResult CsePlugin::isConnectedImpl(uint32_t* connected) {
    if (connected == nullptr) return CSE_FAILURE;
    *connected = isOpened() ? 1u : 0u;
    return CSE_SUCCESS;
}

CseResult CsePlugin::getTargetInfoImpl(CseTargetInfo* info) {
    if (info == nullptr) return CSE_FAILURE;
    std::memcpy(info, &targetInfo, sizeof targetInfo);
    return CSE_SUCCESS;
}

CseResult CsePlugin::isFileOutputImpl(uint32_t* flag) {
    if (flag == nullptr) return CSE_FAILURE;
    *flag = 0;
    return CSE_SUCCESS;
}

}  // namespace CsePluginInterface
