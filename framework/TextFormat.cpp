// SPDX-License-Identifier: Apache-2.0
#include "framework/TextFormat.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace CsePluginInterface {
namespace {

// Wider fields are left to vsnprintf; none of the library's formats comes near.
constexpr unsigned kMaxField = 999;

struct Conversion {
    unsigned width = 0;
    int precision = -1;  // -1: none given
    char kind = 0;
};

bool readNumber(const char*& at, unsigned& value) {
    value = 0;
    while (*at >= '0' && *at <= '9') {
        value = value * 10 + static_cast<unsigned>(*at - '0');
        if (value > kMaxField) return false;
        ++at;
    }
    return true;
}

// Reads the conversion after a '%'; false for one this file does not write itself (flags such
// as '0' or '-', '*', length modifiers, other conversions).
bool readConversion(const char*& at, Conversion& conversion) {
    if (*at == '0' || !readNumber(at, conversion.width)) return false;
    if (*at == '.') {
        ++at;
        unsigned precision = 0;
        if (!readNumber(at, precision)) return false;
        conversion.precision = static_cast<int>(precision);
    }
    switch (*at) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 's':
            conversion.kind = *at++;
            return true;
        default:
            return false;
    }
}

class Output {
  public:
    Output(char* out, size_t size) : at_(out), room_(size - 1) {}
    void put(char c) {
        if (room_ == 0) return;
        *at_++ = c;
        --room_;
    }
    void put(const char* text, size_t length) {
        const size_t taken = length < room_ ? length : room_;
        std::memcpy(at_, text, taken);
        at_ += taken;
        room_ -= taken;
    }
    void repeat(char c, size_t count) {
        for (size_t i = 0; i < count; ++i) put(c);
    }
    void finish() { *at_ = '\0'; }

  private:
    char* at_;
    size_t room_;
};

void putInteger(Output& out, const Conversion& conversion, va_list& args) {
    uint32_t magnitude = 0;
    bool negative = false;
    if (conversion.kind == 'd' || conversion.kind == 'i') {
        const int value = va_arg(args, int);
        negative = value < 0;
        magnitude = negative ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    } else {
        magnitude = va_arg(args, unsigned);
    }
    const uint32_t base = conversion.kind == 'x' || conversion.kind == 'X' ? 16 : 10;
    const char* digits = conversion.kind == 'x' ? "0123456789abcdef" : "0123456789ABCDEF";
    char reversed[16];
    size_t count = 0;
    // Precision 0 and the value 0 give no digits at all.
    if (magnitude != 0 || conversion.precision != 0) {
        uint32_t rest = magnitude;
        do {
            reversed[count++] = digits[rest % base];
            rest /= base;
        } while (rest != 0);
    }
    const size_t precision =
        conversion.precision < 0 ? 0 : static_cast<size_t>(conversion.precision);
    const size_t zeros = precision > count ? precision - count : 0;
    const size_t used = (negative ? 1 : 0) + zeros + count;
    out.repeat(' ', conversion.width > used ? conversion.width - used : 0);
    if (negative) out.put('-');
    out.repeat('0', zeros);
    while (count != 0) out.put(reversed[--count]);
}

void putText(Output& out, const Conversion& conversion, va_list& args) {
    const char* text = va_arg(args, const char*);
    // As the GNU C library writes a null string.
    if (text == nullptr)
        text = conversion.precision >= 0 && conversion.precision < 6 ? "" : "(null)";
    size_t length = 0;
    if (conversion.precision < 0) {
        length = std::strlen(text);
    } else {
        while (length < static_cast<size_t>(conversion.precision) && text[length] != '\0') ++length;
    }
    out.repeat(' ', conversion.width > length ? conversion.width - length : 0);
    out.put(text, length);
}

}  // namespace

void formatText(char* out, size_t size, const char* format, va_list args) noexcept {
    if (size == 0) return;
    // One pass over a copy of the arguments; at a conversion it does not do itself it starts
    // again with vsnprintf and the untouched originals.
    va_list rest;
    va_copy(rest, args);
    Output line(out, size);
    for (const char* at = format;;) {
        const char* percent = std::strchr(at, '%');
        const size_t literal =
            percent != nullptr ? static_cast<size_t>(percent - at) : std::strlen(at);
        line.put(at, literal);
        if (percent == nullptr) break;
        at = percent + 1;
        if (*at == '%') {
            line.put(*at++);
            continue;
        }
        Conversion conversion;
        if (!readConversion(at, conversion)) {
            va_end(rest);
            std::vsnprintf(out, size, format, args);
            return;
        }
        if (conversion.kind == 's') {
            putText(line, conversion, rest);
        } else {
            putInteger(line, conversion, rest);
        }
    }
    line.finish();
    va_end(rest);
}

}  // namespace CsePluginInterface
