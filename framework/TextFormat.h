// SPDX-License-Identifier: Apache-2.0
// printf-style formatting of the library's own message lines and trace texts. They use only plain
// conversions (%s, %d, %i, %u, %x, %X, each with an optional width and precision), which are
// written here directly: the C library's vsnprintf costs several hundred instructions a line, and
// a host that listens gets several lines on every call (a DR shift dumps up to 128 bytes, one
// line each). Any other format goes to vsnprintf, so the text is always what vsnprintf writes.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace CsePluginInterface {

// As vsnprintf: at most size - 1 characters and a terminating zero (nothing when size is 0).
void formatText(char* out, size_t size, const char* format, va_list args) noexcept;

}  // namespace CsePluginInterface
