// SPDX-License-Identifier: Apache-2.0
// The process-wide copy of the host's callbacks, read through one accessor per callback.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "koraven-cse-plugin/CsePluginCallbacks.h"

namespace CsePluginInterface {
namespace CallbackRecord {

// Replaces all five pointers at once (nulls included). Not synchronised: the host does not register
// callbacks while another thread is inside the library.
void replace(const CsePluginCallbacks& callbacks) noexcept;
// A copy of the current record (all null before the first replace).
CsePluginCallbacks current() noexcept;

// Each accessor does nothing when its callback is null.
void message(uint32_t handle, uint32_t category, const char* text);
void log(uint32_t level, const char* format, va_list args);
void dump(uint32_t level, const char* label, const uint8_t* buffer, uint32_t bitCount);
void traceEnter(const char* name);
void traceExit(const char* result);

// Lets callers skip building a dump nobody receives.
bool hasDump() noexcept;

}  // namespace CallbackRecord
}  // namespace CsePluginInterface
