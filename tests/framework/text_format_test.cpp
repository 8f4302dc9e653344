// SPDX-License-Identifier: Apache-2.0
// formatText must write exactly what vsnprintf writes, for the plain conversions it does itself
// and for the formats it hands on.
#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "framework/TextFormat.h"

namespace {

using CsePluginInterface::formatText;

std::string viaFormatText(size_t size, const char* format, ...) {
    std::string out(size + 1, '#');
    va_list args;
    va_start(args, format);
    formatText(out.data(), size, format, args);
    va_end(args);
    return out;
}

std::string viaLibrary(size_t size, const char* format, ...) {
    std::string out(size + 1, '#');
    va_list args;
    va_start(args, format);
    std::vsnprintf(out.data(), size, format, args);
    va_end(args);
    return out;
}

// Every buffer size from 0 to beyond the text, so that truncation is compared too.
template <typename... Args>
void expectSameText(const char* format, Args... args) {
    for (size_t size = 0; size < 48; ++size) {
        EXPECT_EQ(viaFormatText(size, format, args...), viaLibrary(size, format, args...))
            << "format \"" << format << "\", buffer of " << size;
    }
}

TEST(TextFormat, WritesWhatVsnprintfWrites) {
    expectSameText(">>Enter>> %s()\n", "QXCsePlugin::navigateTAPImpl");
    expectSameText("<<Exit<<  %s() : %s\n", "QXCsePlugin::shiftChainDRImpl", "CSE_SUCCESS");
    expectSameText("Exitschiftstate = %d Shiftcount = %d \n", 1, 1048576);
    expectSameText("%d %i %d", INT_MIN, -7, 0);
    expectSameText("%u %x %X", 4294967295u, 0xBEEFu, 0u);
    expectSameText(" %2.2X|%2.2X|%2.2X", 0x0Au, 0xFFu, 0x1234u);
    expectSameText("%5d|%.3d|%6.4d|%.0d|%.0u", -12, 7, -5, 0, 0u);
    expectSameText("%8s|%.3s|%10.2s|%s", "ab", "abcdef", "xyz", "");
    expectSameText("100%% of %s%%", "it");
    expectSameText("no conversion at all\n", 0);
}

TEST(TextFormat, HandsOtherFormatsToVsnprintf) {
    expectSameText("%02X %-4d| %+d %ld", 5u, 3, 9, 123456789L);
    expectSameText("%*d %c %5.1f", 6, 42, 'q', 2.5);
}

}  // namespace
