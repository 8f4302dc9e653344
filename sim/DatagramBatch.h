// SPDX-License-Identifier: Apache-2.0
// Datagrams sent and received a batch at a time (sendmmsg, recvmmsg): one system call for all
// the fragments and flow tokens one wake-up of the emulator produces, and one for a burst of
// fragments that arrived while it was busy.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "sim/PeerWire.h"

namespace quorbit {

class SendBatch {
  public:
    SendBatch();
    SendBatch(const SendBatch&) = delete;
    SendBatch& operator=(const SendBatch&) = delete;

    // Keeps a copy for the next flush. What is queued goes out first when the datagram is for
    // another socket or the batch is full, so the order on the wire stays the order of add.
    void add(int fd, const sockaddr_in& to, const std::uint8_t* data, std::size_t length);
    // Sends everything queued; a datagram the system refuses is dropped, as a failed sendto is.
    void flush();

  private:
    static constexpr std::size_t kCapacity = 32;
    int fd_ = -1;
    std::size_t count_ = 0;
    std::array<std::array<std::uint8_t, kMaxPacketLength>, kCapacity> data_{};
    std::array<sockaddr_in, kCapacity> to_{};
    std::array<iovec, kCapacity> parts_{};
    std::array<mmsghdr, kCapacity> headers_{};
};

class ReceiveBatch {
  public:
    static constexpr std::size_t kCapacity = 16;
    static constexpr std::size_t kBufferBytes = 2048;

    ReceiveBatch();
    ReceiveBatch(const ReceiveBatch&) = delete;
    ReceiveBatch& operator=(const ReceiveBatch&) = delete;

    // Reads what is waiting on the non-blocking socket, at most kCapacity datagrams; how many
    // (0 when none was waiting, or on an error).
    std::size_t read(int fd);
    const std::uint8_t* data(std::size_t i) const { return buffers_[i].data(); }
    // The datagram's real length: above kBufferBytes when it did not fit.
    std::size_t length(std::size_t i) const;
    const sockaddr_in& from(std::size_t i) const { return from_[i]; }

  private:
    std::size_t filled_ = 0;  // entries the last read filled
    std::array<std::array<std::uint8_t, kBufferBytes>, kCapacity> buffers_{};
    std::array<sockaddr_in, kCapacity> from_{};
    std::array<iovec, kCapacity> parts_{};
    std::array<mmsghdr, kCapacity> headers_{};
};

}  // namespace quorbit
