// SPDX-License-Identifier: Apache-2.0
#include "support/ScriptedClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace simtest {
namespace {

constexpr char kMagic[8] = {'K', 'O', 'R', 'A', 'V', 'E', 'N', '\0'};
constexpr int kTokenTimeoutMs = 2000;

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

ScriptedClient::ScriptedClient(std::uint16_t peerPort, int packetLength)
    : peerPort_(peerPort), packetLength_(packetLength) {
    socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local = loopback(0);
    (void)::bind(socket_, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    const int size = 1 << 20;
    (void)::setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

ScriptedClient::~ScriptedClient() {
    if (socket_ >= 0) ::close(socket_);
}

bool ScriptedClient::sendDatagram(const Bytes& datagram) {
    const sockaddr_in peer = loopback(peerPort_);
    const ssize_t sent = ::sendto(socket_, datagram.data(), datagram.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&peer), sizeof peer);
    return sent == static_cast<ssize_t>(datagram.size());
}

std::optional<Bytes> ScriptedClient::receiveDatagram(int timeoutMs) {
    pollfd descriptor{socket_, POLLIN, 0};
    if (::poll(&descriptor, 1, timeoutMs) <= 0) return std::nullopt;
    Bytes buffer(2048);
    const ssize_t length = ::recv(socket_, buffer.data(), buffer.size(), 0);
    if (length < 0) return std::nullopt;
    buffer.resize(static_cast<std::size_t>(length));
    return buffer;
}

std::uint8_t ScriptedClient::connect() {
    transmitSequence_ = 1;
    Bytes request = handshakeDatagram(0x03, 1, static_cast<std::size_t>(packetLength_));
    request[4] = static_cast<std::uint8_t>(peerPort_ & 0xFF);
    request[5] = static_cast<std::uint8_t>(peerPort_ >> 8);
    if (!sendDatagram(request)) return 0;
    const auto answer = receiveDatagram(kTokenTimeoutMs);
    if (!answer || answer->size() < 16 || std::memcmp(answer->data() + 8, kMagic, 8) != 0) return 0;
    receiveSequence_ = static_cast<std::uint16_t>((*answer)[2] | ((*answer)[3] << 8));
    if ((*answer)[0] == 0x13) packetLength_ = static_cast<int>(answer->size());
    return (*answer)[0];
}

bool ScriptedClient::sync() {
    if (!sendDatagram(handshakeDatagram(0x02, transmitSequence_))) return false;
    for (int count = 0; count < 20; ++count) {
        const auto answer = receiveDatagram(kTokenTimeoutMs);
        if (!answer) return false;
        if (answer->size() != 16) continue;
        if ((*answer)[0] == 0x05) {
            if (!sendDatagram(handshakeDatagram(0x02, transmitSequence_))) return false;
            continue;
        }
        if ((*answer)[0] == 0x12 && std::memcmp(answer->data() + 8, kMagic, 8) == 0) {
            receiveSequence_ = static_cast<std::uint16_t>((*answer)[2] | ((*answer)[3] << 8));
            return sendDatagram(handshakeDatagram(0x22, transmitSequence_));
        }
    }
    return false;
}

void ScriptedClient::disconnect() {
    Bytes notice = handshakeDatagram(0x04, 0);
    for (int i = 0; i < 5; ++i) (void)sendDatagram(notice);
}

bool ScriptedClient::sendMessage(const Bytes& message) {
    const std::size_t perFragment = static_cast<std::size_t>(packetLength_) - 4;
    std::size_t offset = 0;
    std::size_t sentBytes = 0;
    do {
        const std::size_t take = std::min(perFragment, message.size() - offset);
        Bytes datagram = {0x11, static_cast<std::uint8_t>(offset + take < message.size() ? 1 : 0)};
        putLe16(datagram, transmitSequence_);
        datagram.insert(datagram.end(), message.begin() + static_cast<std::ptrdiff_t>(offset),
                        message.begin() + static_cast<std::ptrdiff_t>(offset + take));
        if (!sendDatagram(datagram)) return false;
        sentBytes += datagram.size();
        if (sentBytes + static_cast<std::size_t>(packetLength_) > 6000) {
            const auto token = receiveDatagram(kTokenTimeoutMs);
            if (!token || token->size() != 1 || (*token)[0] != '+') return false;
            ++tokensWaitedFor_;
        }
        ++transmitSequence_;
        offset += take;
    } while (offset < message.size());
    return true;
}

Reply ScriptedClient::receiveReply(int timeoutMs) {
    Bytes message;
    while (true) {
        const auto datagram = receiveDatagram(timeoutMs);
        if (!datagram || datagram->empty()) return {};
        const Bytes& d = *datagram;
        if (d.size() == 1 && d[0] == '+') {
            ++tokensSkipped_;
            continue;
        }
        if (d[0] == 0x06) {
            ++notificationsSkipped_;
            continue;
        }
        if (d[0] != 0x01 || d.size() < 4) return {};
        const auto sequence = static_cast<std::uint16_t>(d[2] | (d[3] << 8));
        if (sequence != receiveSequence_) continue;
        ++receiveSequence_;
        ++replyFragments_;
        message.insert(message.end(), d.begin() + 4, d.end());
        if (d[1] == 2) (void)sendDatagram(handshakeDatagram(0x07, 0));
        if (d[1] == 0) break;
    }
    Reply reply;
    if (message.size() < 5) return reply;
    reply.received = true;
    reply.flags = message[0];
    reply.status = message[3];
    reply.id = message[4];
    reply.data.assign(message.begin() + 5, message.end());
    return reply;
}

}  // namespace simtest
