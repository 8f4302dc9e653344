// SPDX-License-Identifier: Apache-2.0
// The few socket operations the link needs, as a table of function pointers: the platform's own
// layer by default, a fake one in tests and fuzzers. Addresses and ports are plain host-order
// numbers here; only the platform layer knows the socket address structures.
#pragma once

#include <cstdint>

// Wide enough for a POSIX descriptor and for a Windows SOCKET.
using LinkSocket = uintptr_t;
constexpr LinkSocket kInvalidLinkSocket = ~LinkSocket{0};

struct LinkAddress {
    uint32_t ipv4 = 0;  // host order
    uint16_t port = 0;  // host order
};

inline bool operator==(const LinkAddress& a, const LinkAddress& b) noexcept {
    return a.ipv4 == b.ipv4 && a.port == b.port;
}

enum class LinkSocketBuffer { Receive, Send };

// Error numbers as Windows Sockets reports them; the POSIX layer translates errno and the
// resolver's h_errno into these so that one table names them on every platform.
constexpr int kLinkErrorNone = 0;
constexpr int kLinkErrorInterrupted = 10004;
constexpr int kLinkErrorTooManySockets = 10024;
constexpr int kLinkErrorInProgress = 10036;
constexpr int kLinkErrorProtocolType = 10041;
constexpr int kLinkErrorProtocolNotSupported = 10043;
constexpr int kLinkErrorSocketTypeNotSupported = 10044;
constexpr int kLinkErrorFamilyNotSupported = 10047;
// Nothing came within a receive's own time.
constexpr int kLinkErrorWouldBlock = 10035;
constexpr int kLinkErrorNetworkDown = 10050;
// Windows reports an ICMP port unreachable of an earlier datagram on the next receive; the POSIX
// layer reports it so too while refusals are watched (LinkWatchRefusals).
constexpr int kLinkErrorConnectionReset = 10054;
constexpr int kLinkErrorNoBuffers = 10055;
constexpr int kLinkErrorNotInitialised = 10093;
constexpr int kLinkErrorHostNotFound = 11001;
constexpr int kLinkErrorTryAgain = 11002;
constexpr int kLinkErrorNoRecovery = 11003;
constexpr int kLinkErrorNoData = 11004;

// One datagram of a batch: a fragment header and the piece of the message behind it, sent as one.
struct LinkBatchDatagram {
    uint8_t header[4] = {};
    const uint8_t* piece = nullptr;
    int pieceLength = 0;
};

// The most datagrams one sendBatch takes.
constexpr int kLinkMaxBatch = 16;

// Every operation returns -1 (or kInvalidLinkSocket) on failure and leaves the reason for
// lastError.
struct LinkSocketOps {
    int (*startup)();      // starts the socket library where the platform has one
    void (*cleanup)();     // releases it again
    LinkSocket (*open)();  // an IPv4 UDP socket
    int (*bind)(LinkSocket socket, uint16_t localPort);  // any local address; 0 = any port
    int (*localPort)(LinkSocket socket, uint16_t* port);
    int (*getBufferSize)(LinkSocket socket, LinkSocketBuffer which, int* bytes);
    int (*setBufferSize)(LinkSocket socket, LinkSocketBuffer which, int bytes);
    // Returns the number of bytes sent.
    int (*sendTo)(LinkSocket socket, const uint8_t* data, int length, const LinkAddress& to);
    // 1 when a datagram is waiting, 0 when the time ran out first.
    int (*waitReadable)(LinkSocket socket, int64_t timeoutMicros);
    // Reads one datagram into at most `capacity` bytes and returns its length; a datagram that did
    // not fit is consumed and reported as longer than `capacity`.
    int (*receiveFrom)(LinkSocket socket, uint8_t* data, int capacity, LinkAddress* from);
    void (*close)(LinkSocket socket);
    // Looks a host name up; the first IPv4 address, host order.
    int (*resolve)(const char* name, uint32_t* ipv4);
    int (*lastError)();
    // Optional, null where the platform has no such call (Windows Sockets 1.1). The link uses
    // them only while sendTo, receiveFrom (and for receiveWithin open and close) are the
    // platform's own, so that a layer that replaces those (a test's, a recorder's) still sees
    // every datagram.
    // receiveFrom that waits by itself, at most about timeoutMicros (0: takes only what is
    // waiting already); -1 with kLinkErrorWouldBlock when nothing came.
    int (*receiveWithin)(LinkSocket socket, uint8_t* data, int capacity, LinkAddress* from,
                         int64_t timeoutMicros);
    // Up to kLinkMaxBatch datagrams in one call, in order; how many went out whole (the first
    // refused one and those after it did not go), or -1 when none did.
    int (*sendBatch)(LinkSocket socket, const LinkBatchDatagram* datagrams, int count,
                     const LinkAddress& to);
};

// While watched, an ICMP port unreachable for a datagram sent comes back on the next receive as
// kLinkErrorConnectionReset, on an unconnected socket too (Windows always reports it; Linux only
// when asked). 0, or -1 when the platform refused.
int LinkWatchRefusals(LinkSocket socket, bool watch) noexcept;

// The platform's own layer (defined in SocketLayerPosix.cpp or SocketLayerWin32.cpp).
extern const LinkSocketOps kLinkSystemSocketOps;

// The layer the link uses now: the system layer unless a test replaced it.
extern const LinkSocketOps* gLinkSocketOps;

inline const LinkSocketOps& LinkSockets() noexcept {
    return *gLinkSocketOps;
}

#ifndef _WIN32
// Translation of POSIX error numbers into the numbering above; 0 for numbers without a name.
int LinkErrorFromErrno(int errnoValue) noexcept;
int LinkErrorFromResolver(int hostErrno, int errnoValue) noexcept;
#endif
