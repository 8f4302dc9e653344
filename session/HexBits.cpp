// SPDX-License-Identifier: Apache-2.0
#include "session/HexBits.h"

#include <cstdio>

namespace csesession {
namespace {

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool parseDecimal(const std::string& text, uint64_t maxValue, uint64_t& value, std::string& error) {
    if (text.empty()) {
        error = "empty number";
        return false;
    }
    uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            error = "'" + text + "' is not a decimal number";
            return false;
        }
        result = result * 10 + static_cast<uint64_t>(c - '0');
        // Checked per digit so that a long run of digits cannot wrap around.
        if (result > maxValue) {
            error = "'" + text + "' is larger than " + std::to_string(maxValue);
            return false;
        }
    }
    value = result;
    return true;
}

bool parseBitCount(const std::string& text, uint32_t& bitCount, std::string& error) {
    uint64_t value = 0;
    if (!parseDecimal(text, kMaxHostShiftBits, value, error)) {
        error = "bit count: " + error;
        return false;
    }
    if (value == 0) {
        error = "bit count must be at least 1";
        return false;
    }
    bitCount = static_cast<uint32_t>(value);
    return true;
}

bool parseHexBits(const std::string& text, uint32_t bitCount, std::vector<uint8_t>& buffer,
                  std::string& error) {
    std::string digits = text;
    if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.erase(0, 2);
    }
    if (digits.empty()) {
        error = "hex value '" + text + "' has no digits";
        return false;
    }
    // A value that is no hex at all is named so, whatever its length.
    const size_t bad = digits.find_first_not_of("0123456789abcdefABCDEF");
    if (bad != std::string::npos) {
        error = "hex value '" + text + "' holds '" + digits[bad] +
                "', which is not a hex digit (0-9, A-F, with or without 0x)";
        return false;
    }
    const size_t maxDigits = (static_cast<size_t>(bitCount) + 3) / 4;
    if (digits.size() > maxDigits) {
        error = "hex value '" + text + "' has " + std::to_string(digits.size()) +
                " digits, more than the " + std::to_string(maxDigits) + " that " +
                std::to_string(bitCount) + " bits take";
        return false;
    }
    buffer.assign((static_cast<size_t>(bitCount) + 7) / 8, 0);
    // The last digit written holds bits 0..3; walk from there towards the most significant digit.
    for (size_t i = 0; i < digits.size(); ++i) {
        const int value = hexDigitValue(digits[digits.size() - 1 - i]);
        for (uint32_t b = 0; b < 4; ++b) {
            if (((value >> b) & 1) == 0) continue;
            const uint64_t bit = i * 4 + b;
            if (bit >= bitCount) {
                error = "hex value '" + text + "' does not fit in " + std::to_string(bitCount) +
                        " bits";
                return false;
            }
            setBit(buffer.data(), static_cast<uint32_t>(bit), true);
        }
    }
    return true;
}

std::string formatHexBits(const uint8_t* buffer, uint32_t bitCount) {
    static const char kDigits[] = "0123456789ABCDEF";
    const uint32_t digitCount = (bitCount + 3) / 4;
    std::string text(digitCount, '0');
    for (uint32_t d = 0; d < digitCount; ++d) {
        unsigned value = 0;
        for (uint32_t b = 0; b < 4; ++b) {
            const uint32_t bit = d * 4 + b;
            if (bit < bitCount && bitAt(buffer, bit)) value |= 1u << b;
        }
        text[digitCount - 1 - d] = kDigits[value];
    }
    return text;
}

std::string hexNumber(uint32_t value, int digits) {
    char text[16] = {};
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

}  // namespace csesession
