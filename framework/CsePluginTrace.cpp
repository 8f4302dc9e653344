// SPDX-License-Identifier: Apache-2.0
#include "framework/CsePluginTrace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "framework/CallbackRecord.h"
#include "framework/TextFormat.h"

namespace CsePluginInterface {
namespace {

// A plain bounded copy: snprintf("%s") costs several hundred instructions per public call.
void copyText(char* out, size_t size, const char* text) noexcept {
    const void* end = std::memchr(text, '\0', size - 1);
    const size_t length =
        end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - text) : size - 1;
    std::memcpy(out, text, length);
    out[length] = '\0';
}

}  // namespace

void formatResultText(CseResult code, char* text, size_t textSize) noexcept {
    if (text == nullptr || textSize == 0) return;
    if (!cseFailed(code)) {
        copyText(text, textSize, "CSE_SUCCESS");
    } else {
        std::snprintf(text, textSize, "CSE_FAILURE, ERROR CODE: %X",
                      static_cast<unsigned>(static_cast<uint32_t>(code) & 0xFFFFu));
    }
}

CsePluginTrace::CsePluginTrace(const char* qualifiedName) {
    buffer[0] = '\0';
    buffer[kHalfSize] = '\0';
    if (qualifiedName != nullptr) copyText(buffer, kHalfSize, qualifiedName);
    CallbackRecord::traceEnter(buffer);
}

CsePluginTrace::~CsePluginTrace() {
    CallbackRecord::traceExit(buffer + kHalfSize);
    std::memset(buffer, 0, sizeof buffer);
}

CseResult CsePluginTrace::setResult(CseResult code) noexcept {
    formatResultText(code, buffer + kHalfSize, kHalfSize);
    return code;
}

void CsePluginTrace::setText(const char* text) noexcept {
    buffer[kHalfSize] = '\0';
    if (text != nullptr) copyText(buffer + kHalfSize, kHalfSize, text);
}

void CsePluginTrace::setFormatted(const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    formatText(buffer + kHalfSize, kHalfSize, format, args);
    va_end(args);
}

}  // namespace CsePluginInterface
