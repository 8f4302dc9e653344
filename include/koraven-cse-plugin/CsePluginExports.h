// SPDX-License-Identifier: Apache-2.0
// The six functions the plug-in library exports to the host (plain C names; stdcall on 32-bit
// Windows, exported there under their decorated names, e.g. "_CsePlugin_create@0"), and their
// pointer types for a host that looks them up at run time.
#pragma once

#include <cstdint>

#include "koraven-cse-plugin/CsePlugin.h"
#include "koraven-cse-plugin/CsePluginCallbacks.h"

#if defined(_WIN32)
// The plug-in's module-definition file exports them under their decorated names, and only those.
#define CSE_EXPORT
#else
#define CSE_EXPORT __attribute__((visibility("default")))
#endif

// The interface version this library implements.
constexpr uint32_t kCsePluginInterfaceVersion = 0x00140100;

extern "C" {

// A new plug-in object owned by the host, or null when it cannot be allocated.
CSE_EXPORT CsePluginInterface::ICsePlugin* CSE_CALLCONV CsePlugin_create(void);
// Deletes the object through its virtual destructor; null is ignored.
CSE_EXPORT void CSE_CALLCONV CsePlugin_destroy(CsePluginInterface::ICsePlugin* plugin);
// Load and unload notifications; they carry no state.
CSE_EXPORT void CSE_CALLCONV CsePlugin_loaded(void);
CSE_EXPORT void CSE_CALLCONV CsePlugin_unloaded(void);
// Copies all five pointers into the process-wide record; null keeps the previous record.
CSE_EXPORT void CSE_CALLCONV CsePlugin_setCallbacks(const CsePluginCallbacks* callbacks);
// Always kCsePluginInterfaceVersion.
CSE_EXPORT uint32_t CSE_CALLCONV CsePlugin_getCsePluginVersion(void);

}  // extern "C"

// Pointer types for a host that looks the exports up at run time.
using CsePluginCreateFn = CsePluginInterface::ICsePlugin*(CSE_CALLCONV*)(void);
using CsePluginDestroyFn = void(CSE_CALLCONV*)(CsePluginInterface::ICsePlugin*);
using CsePluginNotifyFn = void(CSE_CALLCONV*)(void);
using CsePluginSetCallbacksFn = void(CSE_CALLCONV*)(const CsePluginCallbacks*);
using CsePluginGetVersionFn = uint32_t(CSE_CALLCONV*)(void);
