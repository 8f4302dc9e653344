// SPDX-License-Identifier: Apache-2.0
#include "svf/SvfLexer.h"

#include <algorithm>
#include <cstdio>

#include "svf/SvfBits.h"

namespace csesvf {
namespace {

// No keyword, number or state name comes near this; a longer word is kept cut, and refused.
constexpr size_t kMaxWordBytes = 1024;

bool blank(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool control(int c) {
    return (c < 0x20 && !blank(c)) || c == 0x7F;
}

}  // namespace

bool SvfLexer::controlCharacter(int c, SvfError& error) const {
    char text[80];
    std::snprintf(text, sizeof text, "a control character (byte 0x%02X) in the text", c);
    error = {line_, text};
    return false;
}

// From '!' or "//" to the end of the line.
bool SvfLexer::skipComment(SvfError& error) {
    for (int c = input_.peek(); c >= 0 && c != '\n'; c = input_.peek()) {
        if (control(c)) return controlCharacter(c, error);
        input_.advance();
    }
    return true;
}

bool SvfLexer::skipBlanks(SvfError& error) {
    for (int c = input_.peek(); c >= 0; c = input_.peek()) {
        if (c == '\n') {
            ++line_;
        } else if (c == '!') {
            if (!skipComment(error)) return false;
            continue;
        } else if (c == '/') {
            input_.advance();
            if (input_.peek() != '/') {  // a lone '/' starts a word
                word_ = "/";
                return true;
            }
            if (!skipComment(error)) return false;
            continue;
        } else if (!blank(c)) {
            return control(c) ? controlCharacter(c, error) : true;
        }
        input_.advance();
    }
    return true;
}

SvfLexer::Token SvfLexer::next(SvfError& error) {
    word_.clear();
    if (!skipBlanks(error)) return Token::kError;
    tokenLine_ = line_;
    if (word_.empty()) {
        const int c = input_.peek();
        if (c < 0) return Token::kEnd;
        if (c == ';' || c == '(') {
            input_.advance();
            return c == ';' ? Token::kSemicolon : Token::kOpen;
        }
        if (c == ')') {
            error = {line_, "')' without '('"};
            return Token::kError;
        }
    }
    for (int c = input_.peek(); c >= 0; c = input_.peek()) {
        if (blank(c) || c == '(' || c == ')' || c == ';' || c == '!') break;
        if (c == '/') {
            input_.advance();
            if (input_.peek() == '/') {  // a comment right after the word ends it
                if (!skipComment(error)) return Token::kError;
                break;
            }
            c = '/';
        } else {
            if (control(c)) {
                controlCharacter(c, error);
                return Token::kError;
            }
            input_.advance();
        }
        if (word_.size() < kMaxWordBytes) word_ += static_cast<char>(c);
    }
    return Token::kWord;
}

// Digits are packed as they come, most significant first, two to a byte; leading zeros are not
// kept, so the packed digits never need more room than the bits. At ')' the order is reversed in
// place into the bit buffer.
bool SvfLexer::readHex(uint32_t bitCount, std::vector<uint8_t>* bits, HexString& hex,
                       SvfError& error) {
    const size_t needed = (static_cast<size_t>(bitCount) + 3) / 4;
    const unsigned spare = static_cast<unsigned>(needed * 4 - bitCount);
    uint8_t* out = nullptr;
    if (bits != nullptr) {
        bits->assign((static_cast<size_t>(bitCount) + 7) / 8, 0);
        out = bits->data();
    }
    size_t digits = 0;  // significant digits so far
    uint8_t top = 0;    // the first of them
    while (true) {
        size_t count = 0;
        const char* text = input_.available(count);
        if (text == nullptr) {
            if (input_.failure() != SvfInput::Failure::kNone) return false;
            error = {line_, "a hex string has no closing ')'"};
            return false;
        }
        size_t i = 0;
        for (; i < count; ++i) {
            if (out != nullptr && digits % 2 == 0 && digits != 0) {
                // Two digits to a byte while nothing but digits comes: the bulk of a long value.
                const size_t pairs =
                    std::min((count - i) / 2, (needed - std::min(needed, digits)) / 2);
                uint8_t* packed = out + digits / 2;
                size_t k = 0;
                for (; k < pairs; ++k) {
                    const uint8_t low = hexDigitKind(text[i + 2 * k]);
                    const uint8_t high = hexDigitKind(text[i + 2 * k + 1]);
                    if ((low | high) >= kHexBlank) break;
                    packed[k] = static_cast<uint8_t>(low | (high << 4));
                }
                i += 2 * k;
                digits += 2 * k;
                if (i == count) break;
            }
            const uint8_t value = hexDigitKind(text[i]);
            if (value < kHexBlank) {
                if (digits == 0 && value == 0) continue;
                if (digits == 0) top = value;
                if (digits < needed) {
                    if (out != nullptr)
                        out[digits / 2] =
                            static_cast<uint8_t>(out[digits / 2] | (value << (4 * (digits % 2))));
                } else {
                    hex.tooLong = true;
                }
                ++digits;
                continue;
            }
            if (value != kHexBlank) break;
            if (text[i] == '\n') ++line_;
        }
        input_.skip(i);
        if (i == count) continue;
        const int c = input_.peek();
        if (c == ')') {
            input_.advance();
            break;
        }
        if (c == '!' || c == '/') {
            // Comments may stand inside the parentheses; a lone '/' is a bad character.
            input_.advance();
            if (c == '!' || input_.peek() == '/') {
                if (!skipComment(error)) return false;
                continue;
            }
        } else if (control(c)) {
            return controlCharacter(c, error);
        } else {
            input_.advance();
        }
        // Refused only where a hex value is wanted: PIO's parentheses hold other letters.
        if (hex.bad == 0) hex.bad = static_cast<char>(c);
    }
    // The most significant digit may not use the bits above bitCount.
    if (digits == needed && digits > 0 && top >> (4 - spare) != 0) hex.tooLong = true;
    if (out == nullptr || hex.tooLong || hex.bad != 0 || digits == 0) return true;
    // Packed digit d sits in byte d / 2, low nibble for even d; bit order wants them reversed.
    const size_t used = (digits + 1) / 2;
    for (size_t a = 0, b = used - 1; a < b; ++a, --b) std::swap(out[a], out[b]);
    for (size_t k = 0; k < used; ++k) out[k] = static_cast<uint8_t>((out[k] >> 4) | (out[k] << 4));
    if (digits % 2 != 0) {
        // An odd count put an empty nibble at the bottom: move everything down by one digit.
        for (size_t k = 0; k < used; ++k)
            out[k] = static_cast<uint8_t>((out[k] >> 4) | (k + 1 < used ? out[k + 1] << 4 : 0));
    }
    return true;
}

}  // namespace csesvf
