// SPDX-License-Identifier: Apache-2.0
// Entry/exit tracing of one host-facing operation, kept as a local object for the operation's
// duration.
#pragma once

#include <cstddef>

#include "koraven-cse-plugin/CseTypes.h"

#if defined(__GNUC__) || defined(__clang__)
#define CSE_PRINTF_FORMAT(formatIndex, firstArgIndex) \
    __attribute__((format(printf, formatIndex, firstArgIndex)))
#else
#define CSE_PRINTF_FORMAT(formatIndex, firstArgIndex)
#endif

namespace CsePluginInterface {

// Construction sends the qualified name to traceEnterCallback; destruction sends the result text to
// traceExitCallback, so every way out of an operation (early return, unwinding) ends its trace
// once. The result text stays empty unless the operation writes one.
class CsePluginTrace {
  public:
    static constexpr size_t kHalfSize = 512;  // each half holds at most 511 characters and a zero

    explicit CsePluginTrace(const char* qualifiedName);
    ~CsePluginTrace();
    CsePluginTrace(const CsePluginTrace&) = delete;
    CsePluginTrace& operator=(const CsePluginTrace&) = delete;

    // Writes "CSE_SUCCESS" or "CSE_FAILURE, ERROR CODE: %X" (low 16 bits) and returns the code
    // unchanged.
    CseResult setResult(CseResult code) noexcept;
    // The operation's own result text, cut at 511 characters; null leaves the text empty.
    void setText(const char* text) noexcept;
    void setFormatted(const char* format, ...) noexcept CSE_PRINTF_FORMAT(2, 3);

    const char* name() const noexcept { return buffer; }
    const char* result() const noexcept { return buffer + kHalfSize; }

  private:
    // Name half, then result half, each a zero-terminated text. Only the terminators are written
    // at construction: zero-filling 1 KB on every public call was a tenth of a navigation's cost.
    char buffer[2 * kHalfSize];
};

// The exit text of a result code as the trace writes it, into a caller's buffer (always
// terminated).
void formatResultText(CseResult code, char* text, size_t textSize) noexcept;

}  // namespace CsePluginInterface
