// SPDX-License-Identifier: Apache-2.0
// BSD sockets under the link. Errors are kept in the Windows Sockets numbering so that the link
// names them with one table on every platform.
#ifndef _WIN32

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>

#include "remote/SocketLayer.h"

namespace {

struct ErrorTranslation {
    int posix;
    int link;
};

constexpr ErrorTranslation kErrnoTranslations[] = {
    {EINTR, kLinkErrorInterrupted},
    {EMFILE, kLinkErrorTooManySockets},
    {EINPROGRESS, kLinkErrorInProgress},
    {EPROTOTYPE, kLinkErrorProtocolType},
    {EPROTONOSUPPORT, kLinkErrorProtocolNotSupported},
    {ESOCKTNOSUPPORT, kLinkErrorSocketTypeNotSupported},
    {EAFNOSUPPORT, kLinkErrorFamilyNotSupported},
    {ENETDOWN, kLinkErrorNetworkDown},
    {ENOBUFS, kLinkErrorNoBuffers},
    {ECONNREFUSED, kLinkErrorConnectionReset},  // an ICMP port unreachable, as Windows names it
};

constexpr ErrorTranslation kResolverTranslations[] = {
    {HOST_NOT_FOUND, kLinkErrorHostNotFound},
    {TRY_AGAIN, kLinkErrorTryAgain},
    {NO_RECOVERY, kLinkErrorNoRecovery},
    {NO_DATA, kLinkErrorNoData},
};

template <size_t N>
int translate(const ErrorTranslation (&table)[N], int posix, int otherwise) noexcept {
    for (const ErrorTranslation& entry : table) {
        if (entry.posix == posix) return entry.link;
    }
    return otherwise;
}

}  // namespace

int LinkErrorFromErrno(int errnoValue) noexcept {
    return translate(kErrnoTranslations, errnoValue, kLinkErrorNone);
}

// NETDB_INTERNAL and the like leave the reason in errno.
int LinkErrorFromResolver(int hostErrno, int errnoValue) noexcept {
    return translate(kResolverTranslations, hostErrno, LinkErrorFromErrno(errnoValue));
}

namespace {

int gLastError = kLinkErrorNone;

// The receive time-out last set, and on which descriptor; forgotten with the socket.
struct ReceiveTimeout {
    int descriptor = -1;
    int64_t micros = 0;
};
ReceiveTimeout gReceiveTimeout;

int failWithErrno() noexcept {
    gLastError = LinkErrorFromErrno(errno);
    return -1;
}

int descriptorOf(LinkSocket socket) noexcept {
    return socket > static_cast<LinkSocket>(INT_MAX) ? -1 : static_cast<int>(socket);
}

int optionOf(LinkSocketBuffer which) noexcept {
    return which == LinkSocketBuffer::Receive ? SO_RCVBUF : SO_SNDBUF;
}

sockaddr_in socketAddressOf(uint32_t ipv4, uint16_t port) noexcept {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(ipv4);
    return address;
}

int startup() {
    return 0;
}

void cleanup() {}

LinkSocket openSocket() {
    gReceiveTimeout = {};
    const int descriptor = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (descriptor < 0) {
        failWithErrno();
        return kInvalidLinkSocket;
    }
    return static_cast<LinkSocket>(descriptor);
}

int bindSocket(LinkSocket socket, uint16_t localPort) {
    const sockaddr_in address = socketAddressOf(INADDR_ANY, localPort);
    if (::bind(descriptorOf(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) <
        0) {
        return failWithErrno();
    }
    return 0;
}

int readLocalPort(LinkSocket socket, uint16_t* port) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(descriptorOf(socket), reinterpret_cast<sockaddr*>(&address), &length) < 0) {
        return failWithErrno();
    }
    *port = ntohs(address.sin_port);
    return 0;
}

int getBufferSize(LinkSocket socket, LinkSocketBuffer which, int* bytes) {
    socklen_t length = sizeof *bytes;
    if (::getsockopt(descriptorOf(socket), SOL_SOCKET, optionOf(which), bytes, &length) < 0) {
        return failWithErrno();
    }
    return 0;
}

int setBufferSize(LinkSocket socket, LinkSocketBuffer which, int bytes) {
    if (::setsockopt(descriptorOf(socket), SOL_SOCKET, optionOf(which), &bytes, sizeof bytes) < 0) {
        return failWithErrno();
    }
    return 0;
}

int sendTo(LinkSocket socket, const uint8_t* data, int length, const LinkAddress& to) {
    const sockaddr_in address = socketAddressOf(to.ipv4, to.port);
    const ssize_t sent = ::sendto(descriptorOf(socket), data, static_cast<size_t>(length), 0,
                                  reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return sent < 0 ? failWithErrno() : static_cast<int>(sent);
}

// poll instead of select: no limit on the descriptor's number.
int waitReadable(LinkSocket socket, int64_t timeoutMicros) {
    const int descriptor = descriptorOf(socket);
    if (descriptor < 0) {
        gLastError = kLinkErrorNone;
        return -1;
    }
    const int64_t millis = timeoutMicros <= 0 ? 0 : (timeoutMicros + 999) / 1000;
    pollfd entry{descriptor, POLLIN, 0};
    const int ready = ::poll(&entry, 1, millis > INT_MAX ? INT_MAX : static_cast<int>(millis));
    if (ready < 0) return failWithErrno();
    return ready > 0 ? 1 : 0;
}

// The reports kept with IP_RECVERR: read once the refusal is taken, so that poll does not keep
// finding the socket in error and they do not take the room of datagrams.
void drainErrorQueue(int descriptor) {
    const int saved = errno;
    uint8_t ignored[64];
    iovec space{ignored, sizeof ignored};
    msghdr message{};
    message.msg_iov = &space;
    message.msg_iovlen = 1;
    while (::recvmsg(descriptor, &message, MSG_ERRQUEUE | MSG_DONTWAIT) >= 0) {
    }
    errno = saved;
}

int receiveWith(int flags, LinkSocket socket, uint8_t* data, int capacity, LinkAddress* from) {
    sockaddr_in address{};
    iovec space{data, static_cast<size_t>(capacity)};
    msghdr message{};
    message.msg_name = &address;
    message.msg_namelen = sizeof address;
    message.msg_iov = &space;
    message.msg_iovlen = 1;
    const ssize_t received = ::recvmsg(descriptorOf(socket), &message, flags);
    if (received < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            gLastError = kLinkErrorWouldBlock;
            return -1;
        }
        if (errno == ECONNREFUSED) drainErrorQueue(descriptorOf(socket));
        return failWithErrno();
    }
    from->ipv4 = ntohl(address.sin_addr.s_addr);
    from->port = ntohs(address.sin_port);
    if ((message.msg_flags & MSG_TRUNC) != 0) return capacity + 1;
    return static_cast<int>(received);
}

int receiveFrom(LinkSocket socket, uint8_t* data, int capacity, LinkAddress* from) {
    return receiveWith(0, socket, data, capacity, from);
}

// Keeps the time-out already set when it is at most an eighth shorter than asked: that wait may
// end a little early (the caller then waits again), but every datagram that comes in time costs
// one system call, not a setsockopt, a poll and a read.
bool useReceiveTimeout(int descriptor, int64_t micros) {
    const ReceiveTimeout& set = gReceiveTimeout;
    if (set.descriptor == descriptor && set.micros <= micros && set.micros >= micros - micros / 8) {
        return true;
    }
    timeval value{};
    value.tv_sec = static_cast<time_t>(micros / 1000000);
    value.tv_usec = static_cast<suseconds_t>(micros % 1000000);
    if (::setsockopt(descriptor, SOL_SOCKET, SO_RCVTIMEO, &value, sizeof value) < 0) return false;
    gReceiveTimeout = {descriptor, micros};
    return true;
}

int receiveWithin(LinkSocket socket, uint8_t* data, int capacity, LinkAddress* from,
                  int64_t timeoutMicros) {
    // A time-out of zero would wait for ever; nothing left to wait means take what is there.
    if (timeoutMicros <= 0) return receiveWith(MSG_DONTWAIT, socket, data, capacity, from);
    if (!useReceiveTimeout(descriptorOf(socket), timeoutMicros)) return failWithErrno();
    return receiveWith(0, socket, data, capacity, from);
}

int sendBatch(LinkSocket socket, const LinkBatchDatagram* datagrams, int count,
              const LinkAddress& to) {
    sockaddr_in address = socketAddressOf(to.ipv4, to.port);
    // Only the entries in use are filled: zeroing all of them cost more than the call saved.
    iovec parts[kLinkMaxBatch][2];
    mmsghdr messages[kLinkMaxBatch];
    const int total = count < kLinkMaxBatch ? count : kLinkMaxBatch;
    for (int i = 0; i < total; ++i) {
        messages[i] = mmsghdr{};
        parts[i][0] = {const_cast<uint8_t*>(datagrams[i].header), sizeof datagrams[i].header};
        parts[i][1] = {const_cast<uint8_t*>(datagrams[i].piece),
                       static_cast<size_t>(datagrams[i].pieceLength)};
        messages[i].msg_hdr.msg_name = &address;
        messages[i].msg_hdr.msg_namelen = sizeof address;
        messages[i].msg_hdr.msg_iov = parts[i];
        messages[i].msg_hdr.msg_iovlen = 2;
    }
    int sent = 0;
    while (sent < total) {
        const int done = ::sendmmsg(descriptorOf(socket), messages + sent,
                                    static_cast<unsigned>(total - sent), 0);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) break;  // the next datagram was refused: it and those after it stay
        sent += done;
    }
    if (sent == 0) return failWithErrno();
    // A datagram goes whole or not at all; check anyway, so that a short one counts as refused.
    for (int i = 0; i < sent; ++i) {
        const auto whole =
            sizeof datagrams[i].header + static_cast<size_t>(datagrams[i].pieceLength);
        if (messages[i].msg_len != whole) return i;
    }
    return sent;
}

void closeSocket(LinkSocket socket) {
    gReceiveTimeout = {};
    ::close(descriptorOf(socket));
}

int resolve(const char* name, uint32_t* ipv4) {
    errno = 0;
    const hostent* host = ::gethostbyname(name);
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_addr_list[0] == nullptr) {
        gLastError = host == nullptr ? LinkErrorFromResolver(h_errno, errno) : kLinkErrorNoData;
        return -1;
    }
    in_addr address{};
    std::memcpy(&address, host->h_addr_list[0], sizeof address);
    *ipv4 = ntohl(address.s_addr);
    return 0;
}

int lastError() {
    return gLastError;
}

}  // namespace

int LinkWatchRefusals(LinkSocket socket, bool watch) noexcept {
    const int on = watch ? 1 : 0;  // off also drops the reports still kept
    if (::setsockopt(descriptorOf(socket), IPPROTO_IP, IP_RECVERR, &on, sizeof on) < 0) {
        return failWithErrno();
    }
    return 0;
}

const LinkSocketOps kLinkSystemSocketOps = {
    startup,       cleanup,       openSocket, bindSocket,    readLocalPort,
    getBufferSize, setBufferSize, sendTo,     waitReadable,  receiveFrom,
    closeSocket,   resolve,       lastError,  receiveWithin, sendBatch,
};

#endif  // !_WIN32
