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
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

namespace csebridge {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = 1 << 16;
// The receive buffer asked for a client's socket; the kernel caps it at net.core.rmem_max.
constexpr int kSocketReceiveBytes = 4 << 20;
// What the serving thread feeds at once: a stop is seen between two such pieces, each at most a
// window or two of the cable.
constexpr std::size_t kFeedChunk = 1 << 16;
// OpenOCD 0.12 sends through a buffer of this size: a full one goes out at once and OpenOCD goes
// on queueing; a partial one goes out only when it must wait for answers or has nothing more.
constexpr uint64_t kClientBuffer = 512;
// How long input that ends on a buffer boundary may be followed by more before the client is
// taken to be waiting (it is, when its buffer happened to fill right before the wait).
constexpr auto kBoundaryWait = std::chrono::milliseconds(3);

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

// The client's bytes, at most kInputLimit ahead of the batcher (then the socket fills:
// back-pressure). The serving thread reads the socket itself whenever it looks for input, so the
// bytes of a client that waits reach the cable without a hand-over between threads; while a cable
// call of a client that may go on sending is under way, a standby thread keeps the socket drained
// (OpenOCD gives up when it finds its socket full).
class BitbangServer::ClientInput {
  public:
    explicit ClientInput(int fd) : fd_(fd) { standby_ = std::thread([this] { keepDrained(); }); }
    ~ClientInput() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ending_ = true;
        }
        changed_.notify_all();
        standby_.join();
    }
    ClientInput(const ClientInput&) = delete;
    ClientInput& operator=(const ClientInput&) = delete;

    // Whether the socket is worth polling for input: room left and not at its end.
    [[nodiscard]] bool wantsInput() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return !closed_ && unread() < kInputLimit;
    }
    // What the socket has now, then up to `most` bytes into `chunk` (replaced); `ended` once the
    // client closed and all of it is taken. Returns whether the socket was found empty after the
    // bytes taken: a client that has sent all it will before it waits then needs no second look.
    bool take(std::string& chunk, std::size_t most, bool& ended) {
        bool wake = false;
        bool drained = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const bool full = unread() >= kInputLimit;
            drained = readAvailable();
            const std::size_t count = std::min(most, unread());
            chunk.assign(data_, taken_, count);
            taken_ += count;
            // While bytes keep coming the buffer never runs empty: drop what was taken.
            if (taken_ == data_.size() || taken_ >= kInputLimit) {
                data_.erase(0, taken_);
                taken_ = 0;
            }
            ended = closed_ && data_.empty();
            drained = drained && unread() == 0;
            // Only a standby reader stopped by a full buffer waits for room; nobody else waits.
            wake = full && standbyWanted_ && unread() < kInputLimit;
        }
        if (wake) changed_.notify_all();
        return drained;
    }
    void setStandby(bool on) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            standbyWanted_ = on;
        }
        if (on) changed_.notify_all();
    }

  private:
    [[nodiscard]] std::size_t unread() const { return data_.size() - taken_; }
    // Under the lock: recv without waiting until the socket is empty, closed or the room is used.
    // True when the socket was found empty and open. A read shorter than asked for took all the
    // socket held, so it ends the loop without a further recv that would find nothing.
    bool readAvailable() {
        char chunk[kReadChunk];
        while (!closed_ && unread() < kInputLimit) {
            const ssize_t count = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
            if (count > 0) {
                data_.append(chunk, static_cast<std::size_t>(count));
                if (static_cast<std::size_t>(count) < sizeof chunk) return true;
                continue;
            }
            if (count < 0 && errno == EINTR) continue;
            if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
            closed_ = true;  // the end, or an error (a reset): nothing more will come
        }
        return false;
    }
    void keepDrained() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] {
                return ending_ || (standbyWanted_ && !closed_ && unread() < kInputLimit);
            });
            if (ending_) return;
            lock.unlock();
            // A bounded wait: the call may end without any input coming.
            pollfd readable = {fd_, POLLIN, 0};
            (void)::poll(&readable, 1, 10);
            lock.lock();
            if (standbyWanted_) (void)readAvailable();
        }
    }

    int fd_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string data_;
    std::size_t taken_ = 0;
    bool closed_ = false;
    bool standbyWanted_ = false;
    bool ending_ = false;
    std::thread standby_;
};

// The server's cable for one client: the standby reader works during the calls made while no read
// of the client waits (a client that waits sends nothing more until it is answered).
class BitbangServer::StandbyCable : public JtagCable {
  public:
    StandbyCable(JtagCable& cable, ClientInput& input) : cable_(cable), input_(input) {}
    void watch(const BitbangBatcher& batcher) { batcher_ = &batcher; }
    void shift(const uint8_t* tms, const uint8_t* tdi, uint8_t* tdo, uint32_t bitCount) override {
        const Standby standby(input_, batcher_ == nullptr || !batcher_->readsWaiting());
        cable_.shift(tms, tdi, tdo, bitCount);
    }
    void recover() override {
        const Standby standby(input_, true);
        cable_.recover();
    }
    TapState tapState() override { return cable_.tapState(); }

  private:
    struct Standby {
        Standby(ClientInput& input, bool on) : input_(input), on_(on) {
            if (on_) input_.setStandby(true);
        }
        ~Standby() {
            if (on_) input_.setStandby(false);
        }
        Standby(const Standby&) = delete;
        Standby& operator=(const Standby&) = delete;
        ClientInput& input_;
        bool on_;
    };
    JtagCable& cable_;
    ClientInput& input_;
    const BitbangBatcher* batcher_ = nullptr;
};

bool BitbangServer::recoverCable(JtagCable& cable) {
    try {
        cable.recover();
    } catch (const std::exception& failure) {
        if (note_) {
            note_(std::string("remote_bitbang: the cable is not available: ") + failure.what() +
                  "; the next client tries again");
        }
        return false;
    }
    cableReady_ = true;
    ++totals_.recoveries;
    if (note_) note_("remote_bitbang: the cable works again (the TAP was reset by TMS)");
    return true;
}

void BitbangServer::cableFailed(JtagCable& cable, const std::string& peer,
                                const std::string& why) {
    ++totals_.failedCalls;
    cableReady_ = false;
    if (note_) {
        note_("remote_bitbang: client " + peer + ": " + why +
              "; its reads are answered with an error");
    }
    // Before answering, so that the log says at once whether the cable is back.
    if (!stopping_.load()) (void)recoverCable(cable);
}

void BitbangServer::serveClient(int fd, const std::string& peer) {
    ++totals_.clients;
    const int yes = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    // Room for what OpenOCD writes while no thread reads (on a busy machine a millisecond fills
    // the default 128 KiB): OpenOCD gives up when a write finds its socket full.
    const int room = kSocketReceiveBytes;
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    if (note_) note_("remote_bitbang: client " + peer + " connected");
    std::string why = "disconnected";
    BatchCounts counts;
    {
        ClientInput input(fd);
        StandbyCable cable(cable_, input);
        try {
            BitbangBatcher batcher(cable, note_);
            cable.watch(batcher);
            // At most one attempt per client while the cable is away.
            if (!cableReady_ && !recoverCable(cable)) {
                ++totals_.clientsRefused;
                if (note_) {
                    note_("remote_bitbang: client " + peer +
                          " gets an error on its first read: the cable is not available");
                }
                std::string none;
                batcher.fail(none);
            }
            why = serveInput(fd, peer, input, cable, batcher);
            counts = batcher.counts();
        } catch (const std::exception& failure) {
            why = std::string("closed: ") + failure.what();
        }
        ::shutdown(fd, SHUT_RDWR);
    }
    ::close(fd);
    totals_.cable.clocks += counts.clocks;
    totals_.cable.shifts += counts.shifts;
    totals_.cable.reads += counts.reads;
    totals_.cable.resets += counts.resets;
    if (note_) note_("remote_bitbang: client " + peer + " " + why);
}

// The client is taken to wait for answers when everything it sent has been fed and either the
// bytes since its last wait do not end on a boundary of its send buffer (only a wait or the end
// of its command queue sends a partial buffer), or they do and nothing more came for
// kBoundaryWait. Then the queued clocks go as one shift: one link request per wait.
std::string BitbangServer::serveInput(int fd, const std::string& peer, ClientInput& input,
                                      JtagCable& cable, BitbangBatcher& batcher) {
    std::string chunk;
    std::string answers;
    bool drained = false;  // the last take emptied the socket: the next look may skip the recv
    uint64_t sinceWait = 0;
    constexpr Clock::time_point kNoDeadline = Clock::time_point::max();
    Clock::time_point boundaryDeadline = kNoDeadline;
    for (;;) {
        if (stopping_.load()) {
            // Whatever is queued: the reads waiting get an error so the client ends cleanly.
            answers.clear();
            batcher.fail(answers);
            (void)sendAll(fd, answers, stopRead_);
            return "closed: the bridge is stopping";
        }
        bool ended = false;
        if (drained) {
            // All the client had sent was fed: the socket was empty a moment ago.
            chunk.clear();
            drained = false;
        } else {
            // Only bytes just taken can have emptied the socket for the next look.
            drained = input.take(chunk, kFeedChunk, ended) && !chunk.empty();
        }
        answers.clear();
        // With no read waiting when the cable fails, the client's next read gets the error
        // (closing first would leave it waiting for an answer that never comes).
        const auto errorSent = [&] {
            return batcher.failed() && answers.find(kFailedRead) != std::string::npos;
        };
        if (!chunk.empty()) {
            sinceWait += chunk.size();
            boundaryDeadline = kNoDeadline;
            const BitbangBatcher::FeedResult result =
                batcher.feed(chunk.data(), chunk.size(), answers);
            if (!result.failure.empty()) cableFailed(cable, peer, result.failure);
            if (!sendAll(fd, answers, stopRead_)) return "disconnected";
            if (errorSent()) return "closed: the cable failed";
            if (!result.open) {
                if (result.refusal.empty()) return "quit";
                if (note_) note_(result.refusal);
                return "closed";
            }
            continue;
        }
        const bool boundary = sinceWait % kClientBuffer == 0;
        const bool due = boundaryDeadline != kNoDeadline && Clock::now() >= boundaryDeadline;
        const bool waits = !boundary || due;
        // The tail of a finished command queue that no read waits for (the last scan's Update-DR
        // and idle clocks) goes with the next queue's clocks, or after kBoundaryWait when none
        // come: one request per wait, not two. The client's buffer starts anew after the flush.
        if (!ended && !due && waits && batcher.queueTailOnly()) {
            sinceWait = 0;
            if (boundaryDeadline == kNoDeadline) boundaryDeadline = Clock::now() + kBoundaryWait;
        } else if (ended || waits) {
            try {
                // What a client sent before it went still happens.
                if (!batcher.idle()) batcher.carryOut(answers);
            } catch (const std::exception& failure) {
                cableFailed(cable, peer, failure.what());
                batcher.fail(answers);
            }
            if (ended) return "disconnected";
            sinceWait = 0;
            boundaryDeadline = kNoDeadline;
            if (!sendAll(fd, answers, stopRead_)) return "disconnected";
            if (errorSent()) return "closed: the cable failed";
            // The socket was empty when this window went, and a client that waited sends again
            // only once it has the answers: wait for it rather than look at once.
            drained = true;
            continue;
        }
        if (!batcher.idle() && boundaryDeadline == kNoDeadline)
            boundaryDeadline = Clock::now() + kBoundaryWait;
        int timeoutMs = -1;
        if (boundaryDeadline != kNoDeadline) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                boundaryDeadline - Clock::now());
            timeoutMs = static_cast<int>(std::max<int64_t>(1, left.count() + 1));
        }
        // Without room, the socket is left until the batcher has taken some (it is not waiting).
        pollfd fds[3] = {{stopRead_, POLLIN, 0},
                         {input.wantsInput() ? fd : -1, POLLIN, 0},
                         {listener_, POLLIN, 0}};
        if (::poll(fds, 3, timeoutMs) < 0 && errno != EINTR) return "closed: poll failed";
        if ((fds[2].revents & POLLIN) != 0) refuseWaiting();
    }
}

}  // namespace csebridge
