// SPDX-License-Identifier: Apache-2.0
#include "sim/DatagramBatch.h"

#include <cerrno>
#include <cstring>

namespace quorbit {

SendBatch::SendBatch() {
    for (std::size_t i = 0; i < kCapacity; ++i) {
        parts_[i].iov_base = data_[i].data();
        headers_[i].msg_hdr.msg_iov = &parts_[i];
        headers_[i].msg_hdr.msg_iovlen = 1;
        headers_[i].msg_hdr.msg_name = &to_[i];
        headers_[i].msg_hdr.msg_namelen = sizeof to_[i];
    }
}

void SendBatch::add(int fd, const sockaddr_in& to, const std::uint8_t* data, std::size_t length) {
    if (fd != fd_ || count_ == kCapacity) flush();
    if (length > kMaxPacketLength) {
        // Larger than the link ever sends; not worth a slot of its own.
        (void)::sendto(fd, data, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        return;
    }
    fd_ = fd;
    std::memcpy(data_[count_].data(), data, length);
    parts_[count_].iov_len = length;
    to_[count_] = to;
    ++count_;
}

void SendBatch::flush() {
    std::size_t sent = 0;
    while (sent < count_) {
        const int done =
            ::sendmmsg(fd_, headers_.data() + sent, static_cast<unsigned>(count_ - sent), 0);
        if (done > 0) {
            sent += static_cast<std::size_t>(done);
        } else if (done < 0 && errno == EINTR) {
            continue;
        } else {
            ++sent;  // refused (a full socket buffer, say): dropped like a failed sendto
        }
    }
    count_ = 0;
}

ReceiveBatch::ReceiveBatch() {
    for (std::size_t i = 0; i < kCapacity; ++i) {
        parts_[i].iov_base = buffers_[i].data();
        parts_[i].iov_len = kBufferBytes;
        headers_[i].msg_hdr.msg_iov = &parts_[i];
        headers_[i].msg_hdr.msg_iovlen = 1;
        headers_[i].msg_hdr.msg_name = &from_[i];
        headers_[i].msg_hdr.msg_namelen = sizeof from_[i];
    }
}

std::size_t ReceiveBatch::read(int fd) {
    // The system wrote the sender's address length into the entries it filled last time.
    for (std::size_t i = 0; i < filled_; ++i) headers_[i].msg_hdr.msg_namelen = sizeof from_[i];
    // MSG_TRUNC: the real length of a datagram that did not fit, as recvfrom reported it.
    const int count = ::recvmmsg(fd, headers_.data(), kCapacity, MSG_DONTWAIT | MSG_TRUNC, nullptr);
    filled_ = count > 0 ? static_cast<std::size_t>(count) : 0;
    return filled_;
}

std::size_t ReceiveBatch::length(std::size_t i) const {
    const std::size_t length = headers_[i].msg_len;
    const bool truncated = (headers_[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
    return truncated && length <= kBufferBytes ? kBufferBytes + 1 : length;
}

}  // namespace quorbit
