#include "svf/SvfLexer.h"

#include <cctype>

#include "svf/SvfBits.h"

namespace csesvf {
namespace {

constexpr size_t kMaxTokens = 4096;  // a STATE path or a scan never needs more

}  // namespace

SvfLexer::SvfLexer(std::string_view text) : text_(text) {}

void SvfLexer::skipBlanks() {
    while (position_ < text_.size()) {
        const char c = text_[position_];
        if (c == '!' || (c == '/' && position_ + 1 < text_.size() && text_[position_ + 1] == '/')) {
            const size_t end = text_.find('\n', position_);
            position_ = end == std::string_view::npos ? text_.size() : end;
        } else if (std::isspace(static_cast<unsigned char>(c))) {
            if (c == '\n') ++line_;
            ++position_;
        } else {
            return;
        }
    }
}

// From just past '(' to just past ')'. The inside is taken as it stands when it holds only digits
// and white space; a comment in it is taken out into a copy.
bool SvfLexer::readHex(SvfError& error) {
    const size_t close = text_.find(')', position_);
    const size_t stop = close == std::string_view::npos ? text_.size() : close;
    Token token;
    uint32_t lines = 0;
    size_t i = position_;
    for (; i < stop; ++i) {
        const uint8_t kind = hexDigitKind(text_[i]);
        if (kind < kHexBlank) continue;
        if (text_[i] == '\n') ++lines;
        if (kind == kHexOther && (text_[i] == '!' || text_[i] == '/')) break;  // a comment
        if (kind == kHexOther && token.bad == 0) token.bad = text_[i];
    }
    if (i == stop && close != std::string_view::npos) {
        token.hex = text_.substr(position_, close - position_);
        tokens_.push_back(token);
        line_ += lines;
        position_ = close + 1;
        return true;
    }
    if (cleanedUsed_ == cleaned_.size()) cleaned_.emplace_back();
    std::string& digits = cleaned_[cleanedUsed_++];
    digits.clear();
    token.bad = 0;
    while (true) {
        skipBlanks();
        if (position_ >= text_.size()) {
            error = {line_, "a hex string has no closing ')'"};
            return false;
        }
        const char c = text_[position_++];
        if (c == ')') break;
        // Refused only where a hex value is wanted: PIO's parentheses hold other letters.
        if (hexDigitKind(c) == kHexOther && token.bad == 0) token.bad = c;
        digits += c;
    }
    token.hex = digits;
    tokens_.push_back(token);
    return true;
}

// One statement into tokens_; false at the end of the text (error.message empty) or on an error.
bool SvfLexer::readStatement(SvfError& error) {
    tokens_.clear();
    cleanedUsed_ = 0;
    while (true) {
        skipBlanks();
        if (position_ >= text_.size()) {
            if (!tokens_.empty()) error = {statementLine_, "the last statement has no ';'"};
            return false;
        }
        if (tokens_.empty()) statementLine_ = line_;
        if (tokens_.size() >= kMaxTokens) {
            error = {statementLine_, "a statement of more than 4096 words"};
            return false;
        }
        const char c = text_[position_];
        if (c == ';') {
            ++position_;
            if (tokens_.empty()) continue;  // an empty statement
            return true;
        }
        if (c == '(') {
            ++position_;
            if (!readHex(error)) return false;
            continue;
        }
        if (c == ')') {
            error = {line_, "')' without '('"};
            return false;
        }
        const size_t start = position_;
        while (position_ < text_.size()) {
            const char d = text_[position_];
            if (std::isspace(static_cast<unsigned char>(d)) || d == '(' || d == ')' || d == ';' ||
                d == '!' ||
                (d == '/' && position_ + 1 < text_.size() && text_[position_ + 1] == '/')) {
                break;
            }
            ++position_;
        }
        tokens_.push_back({text_.substr(start, position_ - start), {}, 0});
    }
}

}  // namespace csesvf
