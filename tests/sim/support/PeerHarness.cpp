// SPDX-License-Identifier: Apache-2.0
#include "support/PeerHarness.h"

#include <arpa/inet.h>

#include <algorithm>

namespace simtest {

quorbit::SimOptions optionsWithFaults(const char* faults) {
    quorbit::SimOptions options;
    std::string error;
    if (!quorbit::parseFaultList(faults, options.faults, error)) options.faults.silent = true;
    return options;
}

PeerHarness::PeerHarness(quorbit::SimOptions simOptions)
    : options(std::move(simOptions)),
      debugger(options.chain, 64),
      peer(options, debugger, transport, counters,
           [this](quorbit::LogKind, const std::string& line) { log.push_back(line); }),
      now(quorbit::PeerClock::time_point{} + std::chrono::hours(1)) {
    client.address = htonl(INADDR_LOOPBACK);
    client.port = htons(40000);
}

void PeerHarness::deliver(const Bytes& datagram) {
    deliverFrom(client, datagram);
}

void PeerHarness::deliverFrom(const quorbit::PeerAddress& from, const Bytes& datagram) {
    peer.onDatagram(datagram.data(), datagram.size(), from, now);
}

void PeerHarness::advance(std::chrono::milliseconds step) {
    now += step;
    peer.onTimer(now);
}

std::vector<SentDatagram> PeerHarness::take() {
    std::vector<SentDatagram> sent;
    sent.swap(transport.sent);
    return sent;
}

void PeerHarness::open() {
    transmitSequence = 1;
    Bytes connect = handshakeDatagram(0x03, 1, 1024);
    deliver(connect);
    deliver(handshakeDatagram(0x02, transmitSequence));
    deliver(handshakeDatagram(0x22, transmitSequence));
    take();
}

std::vector<Bytes> PeerHarness::fragments(const Bytes& message) const {
    const std::size_t perFragment = static_cast<std::size_t>(options.packetLength) - 4;
    std::vector<Bytes> result;
    std::size_t offset = 0;
    std::uint16_t sequence = transmitSequence;
    do {
        const std::size_t take = std::min(perFragment, message.size() - offset);
        Bytes datagram = {0x11, static_cast<std::uint8_t>(offset + take < message.size() ? 1 : 0)};
        putLe16(datagram, sequence++);
        datagram.insert(datagram.end(), message.begin() + static_cast<std::ptrdiff_t>(offset),
                        message.begin() + static_cast<std::ptrdiff_t>(offset + take));
        result.push_back(datagram);
        offset += take;
    } while (offset < message.size());
    return result;
}

std::vector<Bytes> PeerHarness::sendMessage(const Bytes& message) {
    const std::vector<Bytes> pieces = fragments(message);
    for (const Bytes& piece : pieces) deliver(piece);
    transmitSequence = static_cast<std::uint16_t>(transmitSequence + pieces.size());
    return pieces;
}

void PeerHarness::attachAndEnable() {
    sendMessage(requests.attach());
    sendMessage(requests.command("JTAG.PIN ENABLE"));
    take();
}

bool isFlowToken(const SentDatagram& datagram) {
    return datagram.bytes.size() == 1 && datagram.bytes[0] == '+';
}

std::vector<ParsedReply> repliesIn(const std::vector<SentDatagram>& sent) {
    std::vector<ParsedReply> replies;
    Bytes message;
    ParsedReply current;
    for (const SentDatagram& datagram : sent) {
        const Bytes& d = datagram.bytes;
        if (d.size() < 4 || d[0] != 0x01) continue;
        if (current.fragments == 0) {
            current.firstSequence = static_cast<std::uint16_t>(d[2] | (d[3] << 8));
            current.fromSecondSocket = datagram.fromSecondSocket;
        }
        ++current.fragments;
        message.insert(message.end(), d.begin() + 4, d.end());
        if (d[1] != 0) continue;
        if (message.size() >= 5) {
            current.flags = message[0];
            current.status = message[3];
            current.id = message[4];
            current.data.assign(message.begin() + 5, message.end());
        }
        replies.push_back(current);
        current = ParsedReply{};
        message.clear();
    }
    return replies;
}

}  // namespace simtest
