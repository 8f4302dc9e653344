// SPDX-License-Identifier: Apache-2.0
#include "bridge/BitbangServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

namespace csebridge {
namespace {

constexpr std::size_t kReadChunk = 1 << 16;

std::string peerName(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

bool resolve(const std::string& name, in_addr& address) {
    if (::inet_pton(AF_INET, name.c_str(), &address) == 1) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
    address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return true;
}

void drain(int fd) {
    char sink[64];
    while (::read(fd, sink, sizeof sink) > 0) {
    }
}

// A client that sends reads and never takes the answers must not keep a stop waiting.
bool sendAll(int fd, const std::string& data, int stopFd) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t count =
            ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count > 0) {
            sent += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR) continue;
        if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
        pollfd fds[2] = {{fd, POLLOUT, 0}, {stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return false;
        if ((fds[1].revents & POLLIN) != 0) return false;
    }
    return true;
}

// What the reader thread has taken from the socket and not yet handed on. It signals the
// serving thread through a pipe, so that one poll waits for data, a stop and new connections.
struct Inbox {
    std::mutex mutex;
    std::string data;
    bool closed = false;
    int signalRead = -1;
    int signalWrite = -1;

    void put(const char* bytes, std::size_t length, bool end) {
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            wake = data.empty() && !closed;
            data.append(bytes, length);
            closed = closed || end;
        }
        if (wake || end) {
            const char one = 1;
            (void)!::write(signalWrite, &one, 1);
        }
    }
};

}  // namespace

BitbangServer::BitbangServer(JtagCable& cable, ServerOptions options, NoteSink note)
    : cable_(cable), options_(std::move(options)), note_(std::move(note)) {}

BitbangServer::~BitbangServer() {
    for (const int fd : {listener_, stopRead_, stopWrite_}) {
        if (fd >= 0) ::close(fd);
    }
}

bool BitbangServer::open(std::string& error) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    stopRead_ = pipeFds[0];
    stopWrite_ = pipeFds[1];
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(options_.port);
    if (!resolve(options_.bindAddress, address.sin_addr)) {
        error = "remote_bitbang: cannot resolve bind address " + options_.bindAddress;
        return false;
    }
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int yes = 1;
    if (listener_ < 0 || ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) != 0 ||
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 4) != 0) {
        error = "remote_bitbang: cannot listen on " + options_.bindAddress + ":" +
                std::to_string(options_.port) + ": " + std::strerror(errno);
        return false;
    }
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    return true;
}

void BitbangServer::requestStop() noexcept {
    stopping_.store(true);
    const char one = 1;
    if (stopWrite_ >= 0) (void)!::write(stopWrite_, &one, 1);
}

ServerTotals BitbangServer::totals() const {
    return totals_;
}

void BitbangServer::serve() {
    while (!stopping_.load()) {
        pollfd fds[2] = {{stopRead_, POLLIN, 0}, {listener_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (stopping_.load()) return;
        if ((fds[1].revents & POLLIN) == 0) continue;
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const int fd =
            ::accept4(listener_, reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC);
        if (fd < 0) continue;
        serveClient(fd, peerName(from));
    }
}

void BitbangServer::refuseWaiting() {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC);
    if (fd < 0) return;
    ::close(fd);
    ++totals_.refusedConnections;
    if (note_) {
        note_("remote_bitbang: connection from " + peerName(from) +
              " refused: one client at a time");
    }
}

void BitbangServer::serveClient(int fd, const std::string& peer) {
    ++totals_.clients;
    const int yes = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    if (note_) note_("remote_bitbang: client " + peer + " connected");
    Inbox inbox;
    int signalFds[2];
    if (::pipe2(signalFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        ::close(fd);
        return;
    }
    inbox.signalRead = signalFds[0];
    inbox.signalWrite = signalFds[1];
    std::thread reader([fd, &inbox] {
        std::string chunk(kReadChunk, '\0');
        for (;;) {
            const ssize_t count = ::recv(fd, chunk.data(), chunk.size(), 0);
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0) {
                inbox.put(nullptr, 0, true);
                return;
            }
            inbox.put(chunk.data(), static_cast<std::size_t>(count), false);
        }
    });

    std::string why = "disconnected";
    std::string input;
    std::string answers;
    try {
        BitbangBatcher batcher(cable_, note_);
        bool open = true;
        while (open) {
            pollfd fds[3] = {
                {stopRead_, POLLIN, 0}, {inbox.signalRead, POLLIN, 0}, {listener_, POLLIN, 0}};
            if (::poll(fds, 3, -1) < 0 && errno != EINTR) break;
            if (stopping_.load()) {
                why = "closed: the bridge is stopping";
                break;
            }
            if ((fds[2].revents & POLLIN) != 0) refuseWaiting();
            if ((fds[1].revents & POLLIN) == 0) continue;
            drain(inbox.signalRead);
            bool closed = false;
            {
                std::lock_guard<std::mutex> lock(inbox.mutex);
                input.swap(inbox.data);
                closed = inbox.closed;
            }
            if (!input.empty()) {
                answers.clear();
                const BitbangBatcher::FeedResult result =
                    batcher.feed(input.data(), input.size(), answers);
                input.clear();
                if (!sendAll(fd, answers, stopRead_)) {
                    why = "disconnected";
                    open = false;
                }
                if (!result.open) {
                    why = result.refusal.empty() ? "quit" : "closed";
                    if (!result.refusal.empty() && note_) note_(result.refusal);
                    open = false;
                }
            }
            if (closed) open = false;
        }
        const BatchCounts& counts = batcher.counts();
        totals_.cable.clocks += counts.clocks;
        totals_.cable.scans += counts.scans;
        totals_.cable.navigations += counts.navigations;
        totals_.cable.resets += counts.resets;
    } catch (const std::exception& failure) {
        why = std::string("closed: the cable failed: ") + failure.what();
    }
    ::shutdown(fd, SHUT_RDWR);
    reader.join();
    ::close(fd);
    ::close(inbox.signalRead);
    ::close(inbox.signalWrite);
    if (note_) note_("remote_bitbang: client " + peer + " " + why);
}

}  // namespace csebridge
