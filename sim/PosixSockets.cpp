// SPDX-License-Identifier: Apache-2.0
#include "sim/PosixSockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorbit {
namespace {

// Room for bursts of fragments from the client while the emulator's thread is busy.
constexpr int kReceiveBufferBytes = 1 << 20;

std::string errnoText(const std::string& what) {
    return what + " (" + std::strerror(errno) + ")";
}

bool makeAddress(const std::string& bindAddress, std::uint16_t port, sockaddr_in& address,
                 std::string& error) {
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (!parseIpv4(bindAddress, address.sin_addr.s_addr)) {
        error = "bind address '" + bindAddress + "' is not a dotted IPv4 address";
        return false;
    }
    return true;
}

}  // namespace

void SocketHandle::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool parseIpv4(const std::string& text, std::uint32_t& networkAddress) {
    in_addr address{};
    if (::inet_pton(AF_INET, text.c_str(), &address) != 1) return false;
    networkAddress = address.s_addr;
    return true;
}

bool setNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool openUdpSocket(const std::string& bindAddress, std::uint16_t port, SocketHandle& socket,
                   std::string& error) {
    sockaddr_in address{};
    if (!makeAddress(bindAddress, port, address, error)) return false;
    SocketHandle handle(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!handle.valid()) {
        error = errnoText("cannot create a UDP socket");
        return false;
    }
    const int size = kReceiveBufferBytes;
    (void)::setsockopt(handle.fd(), SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    if (::bind(handle.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = errnoText("cannot bind UDP " + bindAddress + ":" + std::to_string(port));
        return false;
    }
    if (!setNonBlocking(handle.fd())) {
        error = errnoText("cannot make the UDP socket non-blocking");
        return false;
    }
    socket = std::move(handle);
    return true;
}

bool openTcpListener(const std::string& bindAddress, std::uint16_t port, SocketHandle& socket,
                     std::string& error) {
    sockaddr_in address{};
    if (!makeAddress(bindAddress, port, address, error)) return false;
    SocketHandle handle(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!handle.valid()) {
        error = errnoText("cannot create a TCP socket");
        return false;
    }
    const int yes = 1;
    (void)::setsockopt(handle.fd(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(handle.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        error = errnoText("cannot bind TCP " + bindAddress + ":" + std::to_string(port));
        return false;
    }
    if (::listen(handle.fd(), 4) != 0 || !setNonBlocking(handle.fd())) {
        error = errnoText("cannot listen on TCP " + bindAddress + ":" + std::to_string(port));
        return false;
    }
    socket = std::move(handle);
    return true;
}

std::uint16_t boundPort(const SocketHandle& socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

bool openWakePipe(SocketHandle& readEnd, SocketHandle& writeEnd, std::string& error) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = errnoText("cannot create the wake-up pipe");
        return false;
    }
    readEnd = SocketHandle(fds[0]);
    writeEnd = SocketHandle(fds[1]);
    return true;
}

}  // namespace quorbit
