// SPDX-License-Identifier: Apache-2.0
#include "framework/CallbackRecord.h"

namespace CsePluginInterface {
namespace CallbackRecord {
namespace {

// One copy for the whole process, all null until the host registers its callbacks.
CsePluginCallbacks record = {nullptr, nullptr, nullptr, nullptr, nullptr};

}  // namespace

void replace(const CsePluginCallbacks& callbacks) noexcept {
    record = callbacks;
}

CsePluginCallbacks current() noexcept {
    return record;
}

void message(uint32_t handle, uint32_t category, const char* text) {
    if (record.messageCallback != nullptr) record.messageCallback(handle, category, text);
}

void log(uint32_t level, const char* format, va_list args) {
    if (record.logCallback != nullptr) record.logCallback(level, format, args);
}

void dump(uint32_t level, const char* label, const uint8_t* buffer, uint32_t bitCount) {
    if (record.dumpCallback != nullptr) record.dumpCallback(level, label, buffer, bitCount);
}

void traceEnter(const char* name) {
    if (record.traceEnterCallback != nullptr) record.traceEnterCallback(name);
}

void traceExit(const char* result) {
    if (record.traceExitCallback != nullptr) record.traceExitCallback(result);
}

bool hasDump() noexcept {
    return record.dumpCallback != nullptr;
}

}  // namespace CallbackRecord
}  // namespace CsePluginInterface
