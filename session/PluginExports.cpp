// SPDX-License-Identifier: Apache-2.0
#include "session/PluginExports.h"

#include <cstdio>
#include <cstring>

namespace csesession {
namespace {

// Function pointers cannot be cast from void* directly in ISO C++; go through the bytes.
template <typename Function>
bool lookUp(const PluginLibrary& library, const char* name, unsigned argumentBytes,
            Function& function, std::string& error) {
    void* address = library.exportAddress(name, argumentBytes);
    if (address == nullptr) {
        error = std::string("the plug-in does not export ") + name;
        return false;
    }
    static_assert(sizeof(Function) == sizeof(void*), "function and data pointers differ");
    std::memcpy(&function, &address, sizeof function);
    return true;
}

}  // namespace

bool findPluginExports(const PluginLibrary& library, PluginExports& exports, std::string& error) {
    const unsigned kPointerArgument = 4;  // one 32-bit pointer, for the Windows decoration
    if (!lookUp(library, "CsePlugin_create", 0, exports.create, error) ||
        !lookUp(library, "CsePlugin_destroy", kPointerArgument, exports.destroy, error) ||
        !lookUp(library, "CsePlugin_loaded", 0, exports.loaded, error) ||
        !lookUp(library, "CsePlugin_unloaded", 0, exports.unloaded, error) ||
        !lookUp(library, "CsePlugin_setCallbacks", kPointerArgument, exports.setCallbacks, error) ||
        !lookUp(library, "CsePlugin_getCsePluginVersion", 0, exports.getVersion, error)) {
        return false;
    }
    const uint32_t version = exports.getVersion();
    if (version != kCsePluginInterfaceVersion) {
        char text[96] = {};
        std::snprintf(text, sizeof text, "the plug-in speaks interface version 0x%08X, not 0x%08X",
                      version, kCsePluginInterfaceVersion);
        error = text;
        return false;
    }
    return true;
}

}  // namespace csesession
