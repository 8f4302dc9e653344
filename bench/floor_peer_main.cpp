// krv-floor-peer: the peer half of the floor. It answers a loaded script of datagram sizes: for
// every datagram from the client it sends the datagrams that followed it on the recorded link, at
// once, with no protocol logic at all. Runs until killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

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
};

void sendDue(PeerState& peer) {
    const auto* to = reinterpret_cast<const sockaddr*>(&peer.client);
    while (peer.position < peer.script.size() && peer.script[peer.position] < 0) {
        const auto length = static_cast<size_t>(-peer.script[peer.position]);
        (void)::sendto(peer.socket, peer.sendBuffer, length, 0, to, sizeof peer.client);
        ++peer.position;
    }
    if (peer.position == peer.script.size()) peer.position = 0;
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
        if (datagram[0] == krvbench::kFloorLoadMark &&
            krvbench::decodeFloorScript(datagram, static_cast<size_t>(received), peer.script,
                                        peer.waits)) {
            peer.position = 0;
            peer.client = from;
            const uint8_t ready = krvbench::kFloorReadyMark;
            (void)::sendto(peer.socket, &ready, 1, 0, reinterpret_cast<sockaddr*>(&from),
                           fromLength);
            continue;
        }
        if (peer.script.empty()) continue;
        ++peer.position;  // the client's datagram; its size was the recorded one
        sendDue(peer);
    }
}
