// SPDX-License-Identifier: Apache-2.0
// krv-floor-peer: the peer half of the floor. It answers a loaded script of datagram sizes: for
// every datagram from the client it sends the datagrams that followed it on the recorded link, at
// once, with no protocol logic at all. Loaded with a replay, the client is the library itself:
// the peer then sends the recorded heads with its sequence numbers, the request's message id and
// an alternating toggle bit filled in, which is all the library checks. Runs until killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "support/FloorScript.h"

namespace {

using krvbench::WireScript;

struct PeerState {
    int socket = -1;
    WireScript script;
    krvbench::FloorWaits waits = krvbench::FloorWaits::Blocking;
    size_t position = 0;  // the next step expected
    sockaddr_in client{};
    uint8_t sendBuffer[krvbench::kFloorMaxDatagram] = {krvbench::kFloorPeerMark};

    // Replay of the library's own link.
    bool replay = false;
    std::vector<uint8_t> heads;
    size_t head = 0;  // the next datagram's head
    uint16_t sequence = 0;
    uint8_t toggle = 0;
    uint8_t messageId = 0;
    bool clientAtMessageStart = true;
    bool peerAtReplyStart = true;
};

// Offsets in the library's datagrams: fragment header, then request or reply envelope.
constexpr size_t kSequenceAt = 2;
constexpr size_t kReplyFlagsAt = 4;
constexpr size_t kReplyIdAt = 8;
constexpr size_t kRequestIdAt = 12;
constexpr uint8_t kToggleValid = 0x08;
constexpr uint8_t kToggleBit = 0x10;

void fillReplayed(PeerState& peer, size_t length) {
    uint8_t* out = peer.sendBuffer;
    std::memcpy(out, peer.heads.data() + peer.head * krvbench::kRecordedHeadBytes,
                length < krvbench::kRecordedHeadBytes ? length : krvbench::kRecordedHeadBytes);
    ++peer.head;
    if (length <= 4) return;  // a flow token
    out[kSequenceAt] = static_cast<uint8_t>(peer.sequence);
    out[kSequenceAt + 1] = static_cast<uint8_t>(peer.sequence >> 8);
    ++peer.sequence;
    if (peer.peerAtReplyStart && length > kReplyIdAt) {
        peer.toggle ^= 1u;
        out[kReplyFlagsAt] = static_cast<uint8_t>(kToggleValid | (peer.toggle ? kToggleBit : 0));
        out[kReplyIdAt] = peer.messageId;
    }
    peer.peerAtReplyStart = out[1] == 0;
}

void sendDue(PeerState& peer) {
    const auto* to = reinterpret_cast<const sockaddr*>(&peer.client);
    while (peer.position < peer.script.size() && peer.script[peer.position] < 0) {
        const auto length = static_cast<size_t>(-peer.script[peer.position]);
        if (peer.replay) fillReplayed(peer, length);
        (void)::sendto(peer.socket, peer.sendBuffer, length, 0, to, sizeof peer.client);
        ++peer.position;
    }
    if (peer.position == peer.script.size()) {
        peer.position = 0;
        peer.head = 0;
    }
}

// The message id of each request, from its first fragment.
void noteClientDatagram(PeerState& peer, const uint8_t* datagram, size_t length) {
    if (length > kRequestIdAt && peer.clientAtMessageStart) peer.messageId = datagram[kRequestIdAt];
    if (length > 1) peer.clientAtMessageStart = datagram[1] == 0;
}

bool loadReplay(PeerState& peer, const uint8_t* datagram, size_t length) {
    krvbench::ReplayScript replay;
    if (!krvbench::decodeReplayScript(datagram, length, replay)) return false;
    peer.script = std::move(replay.script);
    peer.heads = std::move(replay.peerHeads);
    peer.waits = krvbench::FloorWaits::Blocking;
    peer.replay = true;
    peer.head = 0;
    peer.sequence = replay.firstSequence;
    peer.toggle = replay.lastToggle;
    peer.clientAtMessageStart = true;
    peer.peerAtReplyStart = true;
    return true;
}

int openSocket(uint16_t& port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

}  // namespace

int main() {
    PeerState peer;
    uint16_t port = 0;
    peer.socket = openSocket(port);
    if (peer.socket < 0) {
        std::perror("krv-floor-peer: socket");
        return 1;
    }
    std::printf("floor peer on 127.0.0.1:%u\n", static_cast<unsigned>(port));
    std::fflush(stdout);

    static uint8_t datagram[65536];
    bool drained = true;
    for (;;) {
        // Polled waits: a poll when the socket was drained, then reads until it says so again.
        const bool polled = peer.waits == krvbench::FloorWaits::Polled;
        if (polled && drained) {
            pollfd readable = {peer.socket, POLLIN, 0};
            (void)::poll(&readable, 1, -1);
        }
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t received =
            ::recvfrom(peer.socket, datagram, sizeof datagram, polled ? MSG_DONTWAIT : 0,
                       reinterpret_cast<sockaddr*>(&from), &fromLength);
        drained = received < 0;
        if (received <= 0) continue;
        const auto length = static_cast<size_t>(received);
        const bool loaded =
            datagram[0] == krvbench::kFloorLoadMark
                ? krvbench::decodeFloorScript(datagram, length, peer.script, peer.waits)
                : datagram[0] == krvbench::kFloorReplayMark && loadReplay(peer, datagram, length);
        if (loaded) {
            if (datagram[0] == krvbench::kFloorLoadMark) peer.replay = false;
            peer.position = 0;
            peer.client = from;
            const uint8_t ready = krvbench::kFloorReadyMark;
            (void)::sendto(peer.socket, &ready, 1, 0, reinterpret_cast<sockaddr*>(&from),
                           fromLength);
            continue;
        }
        if (peer.script.empty()) continue;
        if (peer.replay) {
            peer.client = from;  // the library's own socket, not the one that loaded the replay
            noteClientDatagram(peer, datagram, length);
        }
        ++peer.position;  // the client's datagram; its size was the recorded one
        sendDue(peer);
    }
}
