// SPDX-License-Identifier: Apache-2.0
// The link's Windows Sockets 1.1 layer on a real Windows socket stack: start-up, a UDP socket on
// an ephemeral port, buffer sizes, datagrams to itself, select time-outs, the oversized-datagram
// rule and the error numbers the link names. Exit status 0 when every check passed.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "remote/SocketLayer.h"

namespace {

int checkCount = 0;
int failureCount = 0;

bool check(bool passed, const char* what, int line) {
    ++checkCount;
    if (!passed) {
        ++failureCount;
        std::fprintf(stderr, "socket_layer_check.cpp:%d: failed: %s\n", line, what);
    }
    return passed;
}

#define CHECK(condition) check((condition), #condition, __LINE__)

constexpr uint32_t kLoopback = 0x7F000001;  // 127.0.0.1, host order
constexpr int kDatagramBytes = 100;

// Without start-up the library refuses, with the error the link names " (NOTINITIALISED)".
void checkRefusedBeforeStartup(const LinkSocketOps& ops) {
    CHECK(ops.open() == kInvalidLinkSocket);
    CHECK(ops.lastError() == kLinkErrorNotInitialised);
}

void checkBufferSizes(const LinkSocketOps& ops, LinkSocket socket) {
    for (const LinkSocketBuffer which : {LinkSocketBuffer::Receive, LinkSocketBuffer::Send}) {
        int bytes = 0;
        CHECK(ops.getBufferSize(socket, which, &bytes) == 0);
        CHECK(bytes > 0);
        CHECK(ops.setBufferSize(socket, which, 18000) == 0);
        CHECK(ops.getBufferSize(socket, which, &bytes) == 0);
        CHECK(bytes >= 18000);
    }
}

void checkDatagramsToItself(const LinkSocketOps& ops, LinkSocket socket, uint16_t port) {
    uint8_t sent[kDatagramBytes];
    for (int i = 0; i < kDatagramBytes; ++i) sent[i] = static_cast<uint8_t>(i * 7 + 1);
    const LinkAddress self{kLoopback, port};

    CHECK(ops.sendTo(socket, sent, kDatagramBytes, self) == kDatagramBytes);
    CHECK(ops.waitReadable(socket, 2000000) == 1);
    uint8_t received[2 * kDatagramBytes] = {};
    LinkAddress from;
    CHECK(ops.receiveFrom(socket, received, sizeof received, &from) == kDatagramBytes);
    CHECK(std::memcmp(received, sent, kDatagramBytes) == 0);
    CHECK(from == self);

    // Too long for the space offered: consumed, and reported as longer than that space.
    CHECK(ops.sendTo(socket, sent, kDatagramBytes, self) == kDatagramBytes);
    CHECK(ops.waitReadable(socket, 2000000) == 1);
    CHECK(ops.receiveFrom(socket, received, kDatagramBytes / 2, &from) > kDatagramBytes / 2);
    CHECK(ops.waitReadable(socket, 0) == 0);

    // Nothing waiting: select runs out.
    CHECK(ops.waitReadable(socket, 20000) == 0);
}

void checkOpenSocket(const LinkSocketOps& ops) {
    const LinkSocket socket = ops.open();
    if (!CHECK(socket != kInvalidLinkSocket)) return;
    uint16_t port = 0;
    CHECK(ops.bind(socket, 0) == 0);
    CHECK(ops.localPort(socket, &port) == 0);
    CHECK(port != 0);
    checkBufferSizes(ops, socket);
    checkDatagramsToItself(ops, socket, port);
    ops.close(socket);
}

void checkResolver(const LinkSocketOps& ops) {
    uint32_t address = 0;
    CHECK(ops.resolve("localhost", &address) == 0);
    CHECK((address >> 24) == 127);
}

}  // namespace

int main() {
    const LinkSocketOps& ops = kLinkSystemSocketOps;
    checkRefusedBeforeStartup(ops);
    if (CHECK(ops.startup() == 0)) {
        checkOpenSocket(ops);
        checkResolver(ops);
        ops.cleanup();
    }
    std::printf("socket_layer_check: %d checks, %d failed\n", checkCount, failureCount);
    return failureCount == 0 ? 0 : 1;
}
