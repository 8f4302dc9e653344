// SPDX-License-Identifier: Apache-2.0
// Fragments of the reply awaited that came ahead of their turn (the network reordered them, or
// they came while a long request still waited for a flow token), kept where they belong in the
// reply buffer until the gap before them is filled.
#pragma once

#include <cstdint>
#include <cstring>

#include "remote/LinkWire.h"

// The most fragments one reply may take: its longest data in the smallest packets.
constexpr int kMaxReplyFragments =
    (kLinkMaxReplyLength + kLinkMinPacketLength - static_cast<int>(kFragmentHeaderSize) - 1) /
    (kLinkMinPacketLength - static_cast<int>(kFragmentHeaderSize));

// Fragments of the reply being received that came ahead of their turn, kept where they belong:
// every fragment but the last carries exactly a packet's data, so fragment n starts at n pieces.
// Copies and fragments beyond the reply's end are dropped as before.
class AheadFragments {
  public:
    // Copies the datagram's data into place; false when it cannot belong to this reply.
    bool keep(uint8_t* buffer, int index, int pieceBytes, const uint8_t* datagram,
              int length) noexcept {
        const int dataLength = length - static_cast<int>(kFragmentHeaderSize);
        const bool last = datagram[1] == kLinkLastFragment;
        if (index >= kMaxReplyFragments || holds(index) || (lastIndex_ >= 0 && index > lastIndex_))
            return false;
        if ((!last && dataLength != pieceBytes) || index * pieceBytes + dataLength > kLinkMaxReplyLength)
            return false;
        if (last) {
            // What is held beyond the end belongs to another message.
            for (int beyond = index + 1; beyond <= highest_; ++beyond)
                held_[beyond / 64] &= ~(uint64_t{1} << (beyond % 64));
            highest_ = index;
            lastIndex_ = index;
            lastLength_ = dataLength;
        }
        std::memcpy(buffer + index * pieceBytes, datagram + kFragmentHeaderSize,
                    static_cast<size_t>(dataLength));
        held_[index / 64] |= uint64_t{1} << (index % 64);
        if (index > highest_) highest_ = index;
        any_ = true;
        return true;
    }
    bool holds(int index) const noexcept {
        return any_ && index < kMaxReplyFragments && ((held_[index / 64] >> (index % 64)) & 1u) != 0;
    }
    bool empty() const noexcept { return !any_; }
    bool isLast(int index) const noexcept { return index == lastIndex_; }
    int lastLength() const noexcept { return lastLength_; }
    void clear() noexcept {
        if (any_) std::memset(held_, 0, sizeof held_);
        any_ = false;
        highest_ = -1;
        lastIndex_ = -1;
    }

  private:
    uint64_t held_[(kMaxReplyFragments + 63) / 64] = {};
    bool any_ = false;
    int highest_ = -1;
    int lastIndex_ = -1;
    int lastLength_ = 0;
};

