// SVF text split into statements: words and parenthesised hex strings up to each ';', with
// "!" and "//" comments and white space (line ends included) dropped and lines counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace csesvf {

struct SvfError {
    uint32_t line = 0;
    std::string message;  // without file and line
};

class SvfLexer {
  public:
    struct Token {
        std::string_view word;  // empty for a parenthesised hex string
        std::string_view hex;   // its inside: hex digits and white space
        char bad = 0;           // the first character in it that is no hex digit
    };

    explicit SvfLexer(std::string_view text);  // the text must outlive the lexer

    // The next non-empty statement into tokens(); false at the end of the text (error.message
    // empty) or on an error.
    [[nodiscard]] bool readStatement(SvfError& error);
    [[nodiscard]] const std::vector<Token>& tokens() const { return tokens_; }
    [[nodiscard]] uint32_t statementLine() const { return statementLine_; }  // where it starts
    [[nodiscard]] size_t position() const { return position_; }              // just past its ';'

  private:
    void skipBlanks();
    bool readHex(SvfError& error);

    std::string_view text_;
    size_t position_ = 0;
    uint32_t line_ = 1;
    uint32_t statementLine_ = 0;
    std::vector<Token> tokens_;        // of the current statement
    std::deque<std::string> cleaned_;  // hex strings with comments taken out (stable addresses)
    size_t cleanedUsed_ = 0;
};

}  // namespace csesvf
