// SPDX-License-Identifier: Apache-2.0
/* The host's callback record: five C function pointers the host registers with
 * CsePlugin_setCallbacks. */
#pragma once

#include <stdarg.h>
#include <stdint.h>

/* The host's calling convention: stdcall (callee pops) on 32-bit Windows, the platform's own
 * elsewhere. */
#if defined(_WIN32) && !defined(_WIN64)
#define CSE_CALLCONV __stdcall
#else
#define CSE_CALLCONV
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Categorised user message; handle is the plug-in object's opaque host value. */
typedef void(CSE_CALLCONV* CseMessageCallback)(uint32_t handle, uint32_t category,
                                               const char* text);
/* Log output at level 1 (error) .. 4 (trace detail); the host formats it. */
typedef void(CSE_CALLCONV* CseLogCallback)(uint32_t level, const char* format, va_list args);
/* Dump of a bit buffer for diagnosis (level 5). */
typedef void(CSE_CALLCONV* CseDumpCallback)(uint32_t level, const char* label,
                                            const uint8_t* buffer, uint32_t bitCount);
/* Entry of a traced operation, with its qualified name ("CsePlugin::openTarget"). */
typedef void(CSE_CALLCONV* CseTraceEnterCallback)(const char* name);
/* Exit of a traced operation, with its result text ("CSE_SUCCESS"). */
typedef void(CSE_CALLCONV* CseTraceExitCallback)(const char* result);

/* Layout is part of the host interface: five pointers in this order, any of them may be null. */
typedef struct CsePluginCallbacks {
    CseMessageCallback messageCallback;
    CseLogCallback logCallback;
    CseDumpCallback dumpCallback;
    CseTraceEnterCallback traceEnterCallback;
    CseTraceExitCallback traceExitCallback;
} CsePluginCallbacks;

#ifdef __cplusplus
}
#endif
