// SPDX-License-Identifier: Apache-2.0
// Thin POSIX socket helpers for the emulator: non-blocking IPv4 sockets bound to an address, with
// the errors as text. Sockets are plain file descriptors wrapped in an owning handle.
#pragma once

#include <cstdint>
#include <string>

namespace quorbit {

class SocketHandle {
  public:
    SocketHandle() = default;
    explicit SocketHandle(int fd) : fd_(fd) {}
    ~SocketHandle() { reset(); }
    SocketHandle(SocketHandle&& other) noexcept : fd_(other.release()) {}
    SocketHandle& operator=(SocketHandle&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    SocketHandle(const SocketHandle&) = delete;
    SocketHandle& operator=(const SocketHandle&) = delete;

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset();

  private:
    int fd_ = -1;
};

// Dotted IPv4 text to an address in network byte order.
[[nodiscard]] bool parseIpv4(const std::string& text, std::uint32_t& networkAddress);

[[nodiscard]] bool openUdpSocket(const std::string& bindAddress, std::uint16_t port,
                                 SocketHandle& socket, std::string& error);
[[nodiscard]] bool openTcpListener(const std::string& bindAddress, std::uint16_t port,
                                   SocketHandle& socket, std::string& error);
// The local port a socket is bound to (host order), 0 on error.
std::uint16_t boundPort(const SocketHandle& socket);
bool setNonBlocking(int fd);

// A pipe whose read end wakes the emulator's poll() when stop() writes to it.
[[nodiscard]] bool openWakePipe(SocketHandle& readEnd, SocketHandle& writeEnd, std::string& error);

}  // namespace quorbit
