// SPDX-License-Identifier: Apache-2.0
// The emulator's batched sockets: a batch larger than one system call keeps every datagram and
// the order, a change of socket sends what was queued first, and a burst longer than one read
// is read whole over several reads, an over-long datagram reported as such.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "sim/DatagramBatch.h"
#include "sim/PosixSockets.h"

namespace quorbit {
namespace {

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

struct Endpoint {
    SocketHandle socket;
    std::uint16_t port = 0;
};

Endpoint openEndpoint() {
    Endpoint endpoint;
    std::string error;
    EXPECT_TRUE(openUdpSocket("127.0.0.1", 0, endpoint.socket, error)) << error;
    endpoint.port = boundPort(endpoint.socket);
    return endpoint;
}

// Everything waiting, datagram by datagram: first byte and length.
std::vector<std::pair<int, std::size_t>> drain(ReceiveBatch& batch, int fd,
                                               std::uint16_t* lastSender = nullptr) {
    std::vector<std::pair<int, std::size_t>> seen;
    for (std::size_t count = batch.read(fd); count != 0; count = batch.read(fd)) {
        for (std::size_t i = 0; i < count; ++i) {
            seen.emplace_back(batch.data(i)[0], batch.length(i));
            if (lastSender != nullptr) *lastSender = ntohs(batch.from(i).sin_port);
        }
    }
    return seen;
}

TEST(DatagramBatch, KeepsEveryDatagramInOrderAcrossFullBatchesAndSockets) {
    Endpoint receiver = openEndpoint();
    Endpoint first = openEndpoint();
    Endpoint second = openEndpoint();
    auto batch = std::make_unique<SendBatch>();
    std::vector<std::pair<int, std::size_t>> expected;
    for (int i = 0; i < 70; ++i) {
        // The 41st goes from the other socket, so what was queued before it must go first.
        const int fd = i == 40 ? second.socket.fd() : first.socket.fd();
        const std::vector<std::uint8_t> datagram(1 + static_cast<std::size_t>(i) * 20,
                                                 static_cast<std::uint8_t>(i));
        batch->add(fd, loopback(receiver.port), datagram.data(), datagram.size());
        expected.emplace_back(i, datagram.size());
    }
    batch->flush();
    const std::vector<std::uint8_t> tooLong(ReceiveBatch::kBufferBytes + 100, 0xEE);
    const sockaddr_in to = loopback(receiver.port);
    ASSERT_EQ(::sendto(first.socket.fd(), tooLong.data(), tooLong.size(), 0,
                       reinterpret_cast<const sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(tooLong.size()));
    expected.emplace_back(0xEE, tooLong.size());

    auto incoming = std::make_unique<ReceiveBatch>();
    std::uint16_t lastSender = 0;
    EXPECT_EQ(drain(*incoming, receiver.socket.fd(), &lastSender), expected);
    EXPECT_EQ(lastSender, first.port);
}

}  // namespace
}  // namespace quorbit
