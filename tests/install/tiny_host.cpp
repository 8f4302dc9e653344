// SPDX-License-Identifier: Apache-2.0
// A host built out of tree against the installed package: loads the installed plug-in through the
// public headers only and prints its interface version and target name.
#include <dlfcn.h>

#include <cstdio>

#include "koraven-cse-plugin/CsePluginExports.h"

template <typename Function>
Function lookUp(void* library, const char* name) {
    return reinterpret_cast<Function>(dlsym(library, name));
}

int main() {
    void* library = dlopen(KRV_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        std::fprintf(stderr, "tiny_host: %s\n", dlerror());
        return 1;
    }
    const auto getVersion = lookUp<CsePluginGetVersionFn>(library, "CsePlugin_getCsePluginVersion");
    const auto create = lookUp<CsePluginCreateFn>(library, "CsePlugin_create");
    const auto destroy = lookUp<CsePluginDestroyFn>(library, "CsePlugin_destroy");
    if (getVersion == nullptr || create == nullptr || destroy == nullptr) {
        std::fprintf(stderr, "tiny_host: an export is missing\n");
        return 1;
    }
    CsePluginInterface::ICsePlugin* plugin = create();
    CsePluginInterface::CseTargetInfo info;
    const bool described =
        plugin != nullptr && !CsePluginInterface::cseFailed(plugin->getTargetInfo(&info));
    std::printf("version 0x%08X, %s\n", getVersion(), described ? info.version : "no target info");
    destroy(plugin);
    return getVersion() == kCsePluginInterfaceVersion && described ? 0 : 1;
}
