// SPDX-License-Identifier: Apache-2.0
#include "svf/SvfInput.h"

#include <cstring>

namespace csesvf {

SvfInput::SvfInput(std::istream& stream, uint64_t maxBytes, size_t pieceBytes)
    : stream_(stream), maxBytes_(maxBytes), buffer_(pieceBytes < 3 ? 3 : pieceBytes) {}

bool SvfInput::refill() {
    if (failure_ != Failure::kNone || !stream_.good()) return false;
    consumed_ += end_;
    position_ = end_ = 0;
    stream_.read(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    end_ = static_cast<size_t>(stream_.gcount());
    if (stream_.bad()) {
        failure_ = Failure::kRead;
        end_ = 0;
        return false;
    }
    if (consumed_ + end_ > maxBytes_) {
        failure_ = Failure::kTooLarge;
        end_ = 0;
        return false;
    }
    // Editors on Windows start UTF-8 files with a byte order mark.
    if (!started_) {
        started_ = true;
        if (end_ >= 3 && std::memcmp(buffer_.data(), "\xEF\xBB\xBF", 3) == 0) position_ = 3;
    }
    return position_ < end_;
}

const char* SvfInput::available(size_t& count) {
    if (position_ >= end_ && !refill()) {
        count = 0;
        return nullptr;
    }
    count = end_ - position_;
    return buffer_.data() + position_;
}

}  // namespace csesvf
