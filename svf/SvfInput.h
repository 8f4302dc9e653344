// SPDX-License-Identifier: Apache-2.0
// SVF text read from a stream in pieces, so that memory holds one piece and not the file: bytes
// on demand, the byte offset for progress, a limit on the size, and a UTF-8 byte order mark at the
// start skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <vector>

namespace csesvf {

class SvfInput {
  public:
    // pieceBytes: how much is read at a time (tests make it small to cut statements anywhere).
    SvfInput(std::istream& stream, uint64_t maxBytes, size_t pieceBytes = size_t{1} << 20);

    // The next byte, or -1 at the end, when reading failed or beyond maxBytes (see failure()).
    int peek() {
        return position_ < end_ || refill() ? static_cast<uint8_t>(buffer_[position_]) : -1;
    }
    void advance() { ++position_; }
    // The bytes from the current one to the end of what is buffered (at least one unless at the
    // end); the caller consumes with skip().
    [[nodiscard]] const char* available(size_t& count);
    void skip(size_t count) { position_ += count; }

    [[nodiscard]] uint64_t offset() const { return consumed_ + position_; }
    enum class Failure { kNone, kRead, kTooLarge };
    [[nodiscard]] Failure failure() const { return failure_; }

  private:
    bool refill();

    std::istream& stream_;
    uint64_t maxBytes_;
    std::vector<char> buffer_;
    size_t position_ = 0;
    size_t end_ = 0;
    uint64_t consumed_ = 0;  // bytes before buffer_[0]
    bool started_ = false;
    Failure failure_ = Failure::kNone;
};

}  // namespace csesvf
