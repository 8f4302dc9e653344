// SPDX-License-Identifier: Apache-2.0
#include "koraven-cse-plugin/CsePluginExports.h"

#include "framework/CallbackRecord.h"
#include "framework/TargetFactory.h"

using CsePluginInterface::ICsePlugin;

extern "C" {

ICsePlugin* CSE_CALLCONV CsePlugin_create(void) {
    return CsePluginInterface::newTargetPlugin();
}

void CSE_CALLCONV CsePlugin_destroy(ICsePlugin* plugin) {
#if defined(_WIN32)
    // Slot 38 with bit 0 set: destroy and free, just as a Windows host does by itself.
    if (plugin != nullptr) plugin->scalarDeletingDestructor(1);
#else
    delete plugin;
#endif
}

void CSE_CALLCONV CsePlugin_loaded(void) {}

#if !defined(_WIN32)
// The unload notification is one and the same function as the load notification; on Windows the
// module-definition file exports both names at that one address.
void CSE_CALLCONV CsePlugin_unloaded(void) __attribute__((alias("CsePlugin_loaded")));
#endif

void CSE_CALLCONV CsePlugin_setCallbacks(const CsePluginCallbacks* callbacks) {
    if (callbacks != nullptr) CsePluginInterface::CallbackRecord::replace(*callbacks);
}

uint32_t CSE_CALLCONV CsePlugin_getCsePluginVersion(void) {
    return kCsePluginInterfaceVersion;
}

}  // extern "C"
