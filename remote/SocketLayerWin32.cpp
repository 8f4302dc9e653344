// SPDX-License-Identifier: Apache-2.0
// Windows Sockets 1.1 under the link. Its error numbers are the ones the link names directly.
#ifdef _WIN32

#include <winsock.h>

#include <cstring>

#include "remote/SocketLayer.h"

namespace {

SOCKET handleOf(LinkSocket socket) noexcept {
    return static_cast<SOCKET>(socket);
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
    WSADATA data{};
    return WSAStartup(MAKEWORD(1, 1), &data) == 0 ? 0 : -1;
}

void cleanup() {
    WSACleanup();
}

LinkSocket openSocket() {
    const SOCKET handle = ::socket(AF_INET, SOCK_DGRAM, 0);
    return handle == INVALID_SOCKET ? kInvalidLinkSocket : static_cast<LinkSocket>(handle);
}

int bindSocket(LinkSocket socket, uint16_t localPort) {
    const sockaddr_in address = socketAddressOf(INADDR_ANY, localPort);
    return ::bind(handleOf(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
                   SOCKET_ERROR
               ? -1
               : 0;
}

int readLocalPort(LinkSocket socket, uint16_t* port) {
    sockaddr_in address{};
    int length = sizeof address;
    if (::getsockname(handleOf(socket), reinterpret_cast<sockaddr*>(&address), &length) ==
        SOCKET_ERROR) {
        return -1;
    }
    *port = ntohs(address.sin_port);
    return 0;
}

int getBufferSize(LinkSocket socket, LinkSocketBuffer which, int* bytes) {
    int length = sizeof *bytes;
    return ::getsockopt(handleOf(socket), SOL_SOCKET, optionOf(which),
                        reinterpret_cast<char*>(bytes), &length) == SOCKET_ERROR
               ? -1
               : 0;
}

int setBufferSize(LinkSocket socket, LinkSocketBuffer which, int bytes) {
    return ::setsockopt(handleOf(socket), SOL_SOCKET, optionOf(which),
                        reinterpret_cast<const char*>(&bytes), sizeof bytes) == SOCKET_ERROR
               ? -1
               : 0;
}

int sendTo(LinkSocket socket, const uint8_t* data, int length, const LinkAddress& to) {
    const sockaddr_in address = socketAddressOf(to.ipv4, to.port);
    const int sent = ::sendto(handleOf(socket), reinterpret_cast<const char*>(data), length, 0,
                              reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return sent == SOCKET_ERROR ? -1 : sent;
}

int waitReadable(LinkSocket socket, int64_t timeoutMicros) {
    if (socket == kInvalidLinkSocket) return -1;
    const int64_t micros = timeoutMicros < 0 ? 0 : timeoutMicros;
    timeval limit{};
    limit.tv_sec = static_cast<long>(micros / 1000000);
    limit.tv_usec = static_cast<long>(micros % 1000000);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(handleOf(socket), &readable);
    const int ready = ::select(0, &readable, nullptr, nullptr, &limit);
    if (ready == SOCKET_ERROR) return -1;
    return ready > 0 ? 1 : 0;
}

int receiveFrom(LinkSocket socket, uint8_t* data, int capacity, LinkAddress* from) {
    sockaddr_in address{};
    int length = sizeof address;
    const int received = ::recvfrom(handleOf(socket), reinterpret_cast<char*>(data), capacity, 0,
                                    reinterpret_cast<sockaddr*>(&address), &length);
    from->ipv4 = ntohl(address.sin_addr.s_addr);
    from->port = ntohs(address.sin_port);
    if (received == SOCKET_ERROR) {
        // The datagram was consumed; it only did not fit.
        return WSAGetLastError() == WSAEMSGSIZE ? capacity + 1 : -1;
    }
    return received;
}

void closeSocket(LinkSocket socket) {
    ::closesocket(handleOf(socket));
}

int resolve(const char* name, uint32_t* ipv4) {
    const hostent* host = ::gethostbyname(name);
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_addr_list[0] == nullptr) {
        return -1;
    }
    in_addr address{};
    std::memcpy(&address, host->h_addr_list[0], sizeof address);
    *ipv4 = ntohl(address.s_addr);
    return 0;
}

int lastError() {
    return WSAGetLastError();
}

}  // namespace

// Windows reports a refused datagram on the next receive whatever is asked.
int LinkWatchRefusals(LinkSocket, bool) noexcept {
    return 0;
}

// Windows Sockets 1.1 has neither a receive with a time-out of its own nor batches: every receive
// waits with select first and every datagram is one sendto.
const LinkSocketOps kLinkSystemSocketOps = {
    startup,       cleanup,       openSocket, bindSocket,   readLocalPort,
    getBufferSize, setBufferSize, sendTo,     waitReadable, receiveFrom,
    closeSocket,   resolve,       lastError,  nullptr,      nullptr,
};

#endif  // _WIN32
