// SPDX-License-Identifier: Apache-2.0
// The six exports of the plug-in library, looked up at run time.
#pragma once

#include <string>

#include "koraven-cse-plugin/CsePluginExports.h"
#include "session/PluginLoader.h"

namespace csesession {

struct PluginExports {
    CsePluginCreateFn create = nullptr;
    CsePluginDestroyFn destroy = nullptr;
    CsePluginNotifyFn loaded = nullptr;
    CsePluginNotifyFn unloaded = nullptr;
    CsePluginSetCallbacksFn setCallbacks = nullptr;
    CsePluginGetVersionFn getVersion = nullptr;
};

// All six, and an interface version this host speaks; false with a reason otherwise.
[[nodiscard]] bool findPluginExports(const PluginLibrary& library, PluginExports& exports,
                                     std::string& error);

}  // namespace csesession
