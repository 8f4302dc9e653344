#include "framework/CsePluginTrace.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "exports/CallbackRecord.h"

namespace CsePluginInterface {

void formatResultText(CseResult code, char* text, size_t textSize) noexcept {
    if (text == nullptr || textSize == 0) return;
    if (!cseFailed(code)) {
        std::snprintf(text, textSize, "CSE_SUCCESS");
    } else {
        std::snprintf(text, textSize, "CSE_FAILURE, ERROR CODE: %X",
                      static_cast<unsigned>(static_cast<uint32_t>(code) & 0xFFFFu));
    }
}

CsePluginTrace::CsePluginTrace(const char* qualifiedName) {
    if (qualifiedName != nullptr) std::snprintf(buffer, kHalfSize, "%s", qualifiedName);
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
    std::memset(buffer + kHalfSize, 0, kHalfSize);
    if (text != nullptr) std::snprintf(buffer + kHalfSize, kHalfSize, "%s", text);
}

void CsePluginTrace::setFormatted(const char* format, ...) noexcept {
    std::memset(buffer + kHalfSize, 0, kHalfSize);
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer + kHalfSize, kHalfSize, format, args);
    va_end(args);
}

}  // namespace CsePluginInterface
