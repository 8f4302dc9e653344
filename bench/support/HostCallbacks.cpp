// SPDX-License-Identifier: Apache-2.0
#include "support/HostCallbacks.h"

#include <cstdarg>
#include <cstdio>

#include "framework/CallbackRecord.h"

namespace krvbench {
namespace {

char gLine[1024];
uint64_t gLines = 0;

void CSE_CALLCONV formatMessage(uint32_t handle, uint32_t category, const char* text) {
    std::snprintf(gLine, sizeof gLine, "[%08X] %04X %s", handle, category, text);
    ++gLines;
}

void CSE_CALLCONV formatLog(uint32_t level, const char* format, va_list args) {
    const int head = std::snprintf(gLine, sizeof gLine, "%u: ", level);
    std::vsnprintf(gLine + head, sizeof gLine - static_cast<size_t>(head), format, args);
    ++gLines;
}

// A hex line of the first bytes, as a host's diagnostic window shows a buffer.
void CSE_CALLCONV formatDump(uint32_t level, const char* label, const uint8_t* buffer,
                             uint32_t bitCount) {
    int used = std::snprintf(gLine, sizeof gLine, "%u: %s (%u bits):", level, label, bitCount);
    const uint32_t bytes = (bitCount + 7) / 8 < 64 ? (bitCount + 7) / 8 : 64;
    for (uint32_t i = 0; buffer != nullptr && i < bytes; ++i) {
        used += std::snprintf(gLine + used, sizeof gLine - static_cast<size_t>(used), " %02X",
                              buffer[i]);
    }
    ++gLines;
}

void CSE_CALLCONV formatEnter(const char* name) {
    std::snprintf(gLine, sizeof gLine, "-> %s", name);
    ++gLines;
}

void CSE_CALLCONV formatExit(const char* result) {
    std::snprintf(gLine, sizeof gLine, "<- %s", result);
    ++gLines;
}

}  // namespace

ScopedHostCallbacks::ScopedHostCallbacks(HostCallbacks callbacks)
    : installed_(callbacks == HostCallbacks::Formatting) {
    if (!installed_) return;
    // The record the exported CsePlugin_setCallbacks fills; the exports live in the module only.
    CsePluginInterface::CallbackRecord::replace(
        {formatMessage, formatLog, formatDump, formatEnter, formatExit});
}

ScopedHostCallbacks::~ScopedHostCallbacks() {
    if (!installed_) return;
    CsePluginInterface::CallbackRecord::replace({});
}

uint64_t formattedLines() {
    return gLines;
}

}  // namespace krvbench
