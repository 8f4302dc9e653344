// SPDX-License-Identifier: Apache-2.0
// SVF text as tokens, read as they are needed: words, '(' (the caller then reads the hex string
// straight into bits), ';' and the end, with "!" and "//" comments and white space (line ends
// included) dropped and lines counted. Control characters are refused where they stand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "svf/SvfInput.h"

namespace csesvf {

struct SvfError {
    uint64_t line = 0;
    std::string message;  // without file and line
};

class SvfLexer {
  public:
    enum class Token { kWord, kOpen, kSemicolon, kEnd, kError };

    explicit SvfLexer(SvfInput& input) : input_(input) {}

    // The next token; a word is in word(), kError fills error.
    [[nodiscard]] Token next(SvfError& error);
    [[nodiscard]] const std::string& word() const { return word_; }
    [[nodiscard]] uint64_t tokenLine() const { return tokenLine_; }  // where the token starts

    // What a hex string held besides its digits.
    struct HexString {
        char bad = 0;          // the first character that is no hex digit
        bool tooLong = false;  // more bits than bitCount that are not zero
    };
    // After kOpen: the string up to ')' as bitCount bits into bits (null: only checked), bit 0
    // from the last digit. False with an error only when the ')' never comes or the text is bad;
    // what it held is in hex.
    [[nodiscard]] bool readHex(uint32_t bitCount, std::vector<uint8_t>* bits, HexString& hex,
                               SvfError& error);

    [[nodiscard]] uint64_t offset() const { return input_.offset(); }
    [[nodiscard]] SvfInput::Failure inputFailure() const { return input_.failure(); }

  private:
    bool skipBlanks(SvfError& error);
    bool skipComment(SvfError& error);
    bool controlCharacter(int c, SvfError& error) const;

    SvfInput& input_;
    uint64_t line_ = 1;
    uint64_t tokenLine_ = 1;
    std::string word_;
};

}  // namespace csesvf
