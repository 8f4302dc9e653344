// SPDX-License-Identifier: Apache-2.0
// Reading a fuzz input: a configuration byte, then length-prefixed records (two bytes, little
// endian; the top bit is a flag the target gives a meaning, the rest the record's length, cut to
// what is left of the input).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzzinput {

class FuzzReader {
  public:
    FuzzReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ >= size_; }

    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }

    // The next record; false when the input is used up.
    bool record(std::vector<uint8_t>& bytes, bool& flag, size_t maxLength) {
        if (at_ + 2 > size_) return false;
        const unsigned word = data_[at_] | (data_[at_ + 1] << 8);
        at_ += 2;
        flag = (word & 0x8000u) != 0;
        size_t length = word & 0x7FFFu;
        if (length > maxLength) length = maxLength;
        if (length > size_ - at_) length = size_ - at_;
        bytes.assign(data_ + at_, data_ + at_ + length);
        at_ += length;
        return true;
    }

    // Whatever is left, as bytes.
    std::vector<uint8_t> rest() {
        std::vector<uint8_t> bytes(data_ + at_, data_ + size_);
        at_ = size_;
        return bytes;
    }

  private:
    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    size_t at_ = 0;
};

// Splits text at NUL characters, as a list of command-line arguments.
inline std::vector<std::string> splitAtNul(const uint8_t* data, size_t size) {
    std::vector<std::string> words(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            words.emplace_back();
        } else {
            words.back().push_back(static_cast<char>(data[i]));
        }
    }
    return words;
}

}  // namespace fuzzinput
