// SPDX-License-Identifier: Apache-2.0
// Option operations, carried by sendCommand so a target that implements it gets options for free.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "framework/CsePlugin.h"

namespace CsePluginInterface {

CseResult CsePlugin::setOption(const char* key, const char* value) {
    CsePluginTrace trace("CsePlugin::setOption");
    if (key == nullptr || value == nullptr) {
        log(1, "<CsePlugin> setOption called with a NULL key or value\n");
        return trace.setResult(CSE_FAILURE);
    }
    return trace.setResult(setOptionImpl(key, value));
}

CseResult CsePlugin::getOption(const char* key, char* outBuffer, uint32_t outSize) {
    CsePluginTrace trace("CsePlugin::getOption");
    if (key == nullptr) {
        log(1, "<CsePlugin> getOption called with a NULL key\n");
        return trace.setResult(CSE_FAILURE);
    }
    return trace.setResult(getOptionImpl(key, outBuffer, outSize));
}

CseResult CsePlugin::setOptionImpl(const char* key, const char* value) {
    const size_t textSize = std::strlen(key) + std::strlen(value) + 2;  // '=' and the zero
    std::unique_ptr<char[]> text(new (std::nothrow) char[textSize]);
    if (!text) {
        log(1, "<CsePlugin> setOption:Memory could not be allocated for option text\n");
        return CSE_FAILURE;
    }
    std::snprintf(text.get(), textSize, "%s=%s", key, value);
    return sendCommand("set", text.get(), static_cast<uint32_t>(textSize), nullptr, 0, 0, 0);
}

CseResult CsePlugin::getOptionImpl(const char* key, char* outBuffer, uint32_t outSize) {
    const auto keySize = static_cast<uint32_t>(std::strlen(key) + 1);
    return sendCommand("get", key, keySize, outBuffer, outSize, 0, 0);
}

}  // namespace CsePluginInterface
