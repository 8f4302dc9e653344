// SPDX-License-Identifier: Apache-2.0
// The emulator's thread: one poll loop over the UDP socket, the remote_bitbang listener and
// session, and a wake-up pipe for stop(). Everything the loop touches is guarded by one mutex,
// which the inspection calls take too; log lines are handed to the sink after it is released.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "sim/BitbangSession.h"
#include "sim/DatagramBatch.h"
#include "sim/EmulatedDebugger.h"
#include "sim/LinkPeer.h"
#include "sim/PcapRecorder.h"
#include "sim/PeerWire.h"
#include "sim/PosixSockets.h"
#include "sim/QuorbitSim.h"

namespace quorbit {
namespace {

constexpr std::size_t kDatagramsPerWakeup = 256;
constexpr std::size_t kRecentLogCapacity = 256;
constexpr std::size_t kBitbangChunkBytes = 16384;
// The receive buffer asked for a remote_bitbang client's socket (the kernel caps it at rmem_max).
constexpr int kBitbangReceiveBytes = 4 << 20;

}  // namespace

struct Simulator::Impl final : PeerTransport {
    explicit Impl(SimOptions simOptions)
        : options(std::move(simOptions)),
          debugger(options.chain, options.rawShiftLogCapacity),
          peer(options, debugger, *this, counters,
               [this](LogKind kind, const std::string& line) { addLog(kind, line); }) {}

    void send(const PeerAddress& to, const std::uint8_t* data, std::size_t length,
              bool fromSecondSocket) override {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = to.address;
        address.sin_port = to.port;
        const int fd = fromSecondSocket ? secondUdp.fd() : udp.fd();
        // Goes out with the others of this wake-up, before the loop waits again.
        outgoing.add(fd, address, data, length);
        // Recorded as queued: it leaves with the others of this wake-up, in this order.
        capture.record(fromSecondSocket ? secondEnd : mainEnd, {to.address, to.port}, data, length,
                       length);
    }

    void addLog(LogKind kind, const std::string& line) {
        if (recentLog.size() == kRecentLogCapacity) recentLog.pop_front();
        recentLog.push_back(line);
        if (options.logSink) pendingLog.emplace_back(kind, line);
        logged.notify_all();
    }

    bool openSockets(std::string& error);
    void loop();
    // The datagrams waiting now, handed to the peer; how many.
    std::size_t receiveDatagrams(PeerClock::time_point now);
    bool serveWaitingDatagrams();
    void acceptBitbang();
    void serveBitbang();
    const char* drainBitbang();
    void flushBitbang();
    void closeBitbang(const char* why);
    int pollTimeoutMs();

    SimOptions options;
    mutable std::mutex mutex;
    mutable std::condition_variable logged;  // a line joined recentLog
    SimCounters counters;
    EmulatedDebugger debugger;
    LinkPeer peer;
    std::deque<std::string> recentLog;
    std::vector<std::pair<LogKind, std::string>> pendingLog;

    SocketHandle udp;
    SocketHandle secondUdp;
    PcapRecorder capture;  // --pcap: everything sent and received on the UDP sockets
    PcapEndpoint mainEnd;  // the sockets' own endpoints, as the capture shows them
    PcapEndpoint secondEnd;
    SocketHandle bitbangListener;
    SocketHandle bitbangClient;
    SocketHandle wakeRead;
    SocketHandle wakeWrite;
    std::unique_ptr<BitbangSession> bitbang;
    std::string bitbangOutput;
    std::string bitbangPending;  // received and not yet carried out from bitbangDone on
    std::size_t bitbangDone = 0;
    SendBatch outgoing;
    ReceiveBatch incoming;
    std::vector<char> bitbangInput = std::vector<char>(kBitbangChunkBytes);

    std::thread thread;
    std::atomic<bool> stopRequested{false};
    bool running = false;
    std::uint16_t udpPort = 0;
    int rbbPort = -1;
};

bool Simulator::Impl::openSockets(std::string& error) {
    if (!openUdpSocket(options.bindAddress, options.port, udp, error)) return false;
    if (!openUdpSocket(options.bindAddress, 0, secondUdp, error)) return false;
    udpPort = boundPort(udp);
    (void)parseIpv4(options.bindAddress, mainEnd.address);
    mainEnd.port = htons(udpPort);
    secondEnd = {mainEnd.address, htons(boundPort(secondUdp))};
    if (!options.pcapPath.empty() && !capture.open(options.pcapPath, error)) return false;
    if (options.rbbPort >= 0) {
        if (!openTcpListener(options.bindAddress, static_cast<std::uint16_t>(options.rbbPort),
                             bitbangListener, error)) {
            return false;
        }
        rbbPort = boundPort(bitbangListener);
    }
    return openWakePipe(wakeRead, wakeWrite, error);
}

int Simulator::Impl::pollTimeoutMs() {
    std::lock_guard<std::mutex> lock(mutex);
    const auto deadline = peer.nextDeadline();
    if (!deadline) return -1;
    const auto wait = *deadline - PeerClock::now();
    if (wait <= PeerClock::duration::zero()) return 0;
    // Round up so that the deadline has passed when poll returns.
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
}

// After a round that received datagrams, what is waiting already is taken before any wait: on
// one processor the client's next request is usually there by the time the reply has gone, and
// the poll would only say so. Not while a remote_bitbang session needs the poll's attention.
bool Simulator::Impl::serveWaitingDatagrams() {
    std::vector<std::pair<LogKind, std::string>> logs;
    std::size_t received = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const PeerClock::time_point now = PeerClock::now();
        received = receiveDatagrams(now);
        peer.onTimer(now);
        outgoing.flush();
        logs.swap(pendingLog);
    }
    for (const auto& [kind, line] : logs) options.logSink(kind, line);
    return received != 0;
}

void Simulator::Impl::loop() {
    bool tryFirst = false;
    while (!stopRequested.load()) {
        if (tryFirst && !bitbangClient.valid() && serveWaitingDatagrams()) continue;
        pollfd fds[4] = {};
        nfds_t count = 0;
        fds[count++] = {wakeRead.fd(), POLLIN, 0};
        fds[count++] = {udp.fd(), POLLIN, 0};
        const bool listening = bitbangListener.valid();
        if (listening) fds[count++] = {bitbangListener.fd(), POLLIN, 0};
        const bool serving = bitbangClient.valid();
        if (serving) {
            const short events = static_cast<short>(POLLIN | (bitbangOutput.empty() ? 0 : POLLOUT));
            fds[count++] = {bitbangClient.fd(), events, 0};
        }
        const int ready = ::poll(fds, count, pollTimeoutMs());
        if (stopRequested.load()) break;
        if (ready < 0 && errno != EINTR) break;
        std::vector<std::pair<LogKind, std::string>> logs;
        {
            std::lock_guard<std::mutex> lock(mutex);
            const PeerClock::time_point now = PeerClock::now();
            tryFirst = (fds[1].revents & POLLIN) != 0 && receiveDatagrams(now) != 0;
            if (listening && (fds[2].revents & POLLIN) != 0) acceptBitbang();
            if (serving) {
                const pollfd& client = fds[listening ? 3 : 2];
                if ((client.revents & POLLOUT) != 0) flushBitbang();
                if ((client.revents & (POLLIN | POLLHUP | POLLERR)) != 0) serveBitbang();
            }
            peer.onTimer(now);
            outgoing.flush();
            logs.swap(pendingLog);
        }
        for (const auto& [kind, line] : logs) options.logSink(kind, line);
    }
}

std::size_t Simulator::Impl::receiveDatagrams(PeerClock::time_point now) {
    std::size_t handled = 0;
    while (handled < kDatagramsPerWakeup) {
        const std::size_t count = incoming.read(udp.fd());
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t length = incoming.length(i);
            PeerAddress sender;
            sender.address = incoming.from(i).sin_addr.s_addr;
            sender.port = incoming.from(i).sin_port;
            capture.record({sender.address, sender.port}, mainEnd, incoming.data(i),
                           std::min(length, ReceiveBatch::kBufferBytes), length);
            if (length > ReceiveBatch::kBufferBytes) {
                ++counters.malformedDatagrams;
                addLog(LogKind::Refusal,
                       "datagram of " + std::to_string(length) + " bytes is too long");
                continue;
            }
            peer.onDatagram(incoming.data(i), length, sender, now);
        }
        handled += count;
        // Fewer than asked for: the socket is drained (or failed for now).
        if (count < ReceiveBatch::kCapacity) break;
    }
    return handled;
}

void Simulator::Impl::acceptBitbang() {
    SocketHandle client(::accept4(bitbangListener.fd(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client.valid()) return;
    if (bitbangClient.valid()) {
        addLog(LogKind::Refusal,
               "remote_bitbang: second connection refused, one session at a time");
        return;  // closed by the handle
    }
    const int yes = 1;
    (void)::setsockopt(client.fd(), IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    // Room for what OpenOCD writes while this thread is not scheduled: its socket is
    // non-blocking and it gives up when a write finds it full (the kernel caps the size).
    const int room = kBitbangReceiveBytes;
    (void)::setsockopt(client.fd(), SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    (void)setNonBlocking(client.fd());
    bitbangClient = std::move(client);
    bitbang = std::make_unique<BitbangSession>(debugger);
    bitbangOutput.clear();
    addLog(LogKind::Info, "remote_bitbang session opened");
}

// OpenOCD's client gives up ("errno==11") when its socket is full, so everything the client has
// sent is taken before any of it is carried out, and again between slices of the work.
void Simulator::Impl::serveBitbang() {
    const char* ended = drainBitbang();
    bool answered = false;
    while (bitbangClient.valid() && bitbangDone < bitbangPending.size()) {
        const std::size_t slice = std::min(bitbangPending.size() - bitbangDone, kBitbangChunkBytes);
        const std::size_t before = bitbangOutput.size();
        const BitbangSession::FeedResult result =
            bitbang->feed(bitbangPending.data() + bitbangDone, slice, bitbangOutput);
        if (bitbangOutput.size() != before && !answered) {
            answered = true;
            ++counters.rbbAnswerRounds;
        }
        bitbangDone += slice;
        counters.rbbClocks += result.clocks;
        if (result.unknown > 0) {
            addLog(LogKind::Refusal, "remote_bitbang: " + std::to_string(result.unknown) +
                                         " unknown characters ignored");
        }
        flushBitbang();
        if (!result.open) {
            closeBitbang("ended with Q");
            return;
        }
        if (ended == nullptr) ended = drainBitbang();
    }
    bitbangPending.clear();
    bitbangDone = 0;
    if (ended != nullptr && bitbangClient.valid()) closeBitbang(ended);
}

// Reads until the socket is empty; why the session ends, or null while it goes on.
const char* Simulator::Impl::drainBitbang() {
    if (bitbangDone > 0 && bitbangDone == bitbangPending.size()) {
        bitbangPending.clear();
        bitbangDone = 0;
    }
    for (;;) {
        const ssize_t length =
            ::recv(bitbangClient.fd(), bitbangInput.data(), bitbangInput.size(), 0);
        if (length > 0) {
            bitbangPending.append(bitbangInput.data(), static_cast<std::size_t>(length));
            continue;
        }
        if (length == 0) return "closed by the client";
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? nullptr : "receive error";
    }
}

void Simulator::Impl::flushBitbang() {
    while (!bitbangOutput.empty() && bitbangClient.valid()) {
        const ssize_t sent = ::send(bitbangClient.fd(), bitbangOutput.data(), bitbangOutput.size(),
                                    MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent <= 0) {
            if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;  // POLLOUT later
            closeBitbang("send error");
            return;
        }
        bitbangOutput.erase(0, static_cast<std::size_t>(sent));
    }
}

void Simulator::Impl::closeBitbang(const char* why) {
    bitbangClient.reset();
    bitbang.reset();
    bitbangOutput.clear();
    bitbangPending.clear();
    bitbangDone = 0;
    addLog(LogKind::Info, std::string("remote_bitbang session ") + why);
}

// ---- Simulator --------------------------------------------------------------------------------

Simulator::Simulator(SimOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Simulator::~Simulator() {
    stop();
}

bool Simulator::start(std::string& error) {
    Impl& impl = *impl_;
    if (impl.running) {
        error = "the emulator is already running";
        return false;
    }
    if (impl.options.packetLength < kMinPacketLength ||
        impl.options.packetLength > kMaxPacketLength) {
        error = "packet length " + std::to_string(impl.options.packetLength) + " out of range " +
                std::to_string(kMinPacketLength) + ".." + std::to_string(kMaxPacketLength);
        return false;
    }
    if (impl.options.rbbPort < -1 || impl.options.rbbPort > 65535) {
        error = "remote_bitbang port " + std::to_string(impl.options.rbbPort) + " out of range";
        return false;
    }
    std::string chainError;
    if (!validateChain(impl.options.chain, chainError)) {
        error = "chain: " + chainError;
        return false;
    }
    if (!checkBoardFaults(impl.options.boardFaults, impl.options.chain, chainError)) {
        error = "board fault " + chainError;
        return false;
    }
    impl.debugger.setBoardFaults(impl.options.boardFaults);
    impl.debugger.setDebugPortFaults(impl.options.faults.debugPort);
    if (!impl.openSockets(error)) {
        impl.udp.reset();
        impl.secondUdp.reset();
        impl.bitbangListener.reset();
        impl.rbbPort = -1;
        impl.udpPort = 0;
        return false;
    }
    if (!impl.options.vcdPath.empty()) {
        std::lock_guard<std::mutex> lock(impl.mutex);
        if (!impl.debugger.openVcd(impl.options.vcdPath, impl.options.vcdMaxBytes, error)) {
            impl.capture.close();
            impl.udp.reset();
            impl.secondUdp.reset();
            impl.bitbangListener.reset();
            return false;
        }
    }
    impl.stopRequested = false;
    try {
        impl.thread = std::thread([&impl] { impl.loop(); });
    } catch (const std::exception& failure) {
        error = std::string("cannot start the emulator's thread: ") + failure.what();
        impl.capture.close();
        impl.udp.reset();
        impl.secondUdp.reset();
        impl.bitbangListener.reset();
        impl.wakeRead.reset();
        impl.wakeWrite.reset();
        return false;
    }
    impl.running = true;
    return true;
}

void Simulator::stop() {
    Impl& impl = *impl_;
    if (!impl.running) return;
    impl.stopRequested = true;
    const char wake = 1;
    // A full pipe already holds a wake-up; the thread also sees stopRequested.
    if (::write(impl.wakeWrite.fd(), &wake, 1) < 0) {
    }
    if (impl.thread.joinable()) impl.thread.join();
    impl.running = false;
    {
        // What was recorded is on disk when stop returns, not only when the emulator is gone.
        std::lock_guard<std::mutex> lock(impl.mutex);
        impl.debugger.flushVcd();
    }
    impl.capture.close();
    impl.bitbangClient.reset();
    impl.bitbang.reset();
    impl.bitbangListener.reset();
    impl.udp.reset();
    impl.secondUdp.reset();
    impl.wakeRead.reset();
    impl.wakeWrite.reset();
}

bool Simulator::running() const {
    return impl_->running;
}
std::uint16_t Simulator::udpPort() const {
    return impl_->udpPort;
}
int Simulator::rbbPort() const {
    return impl_->rbbPort;
}

std::size_t Simulator::deviceCount() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->debugger.chain().deviceCount();
}

TapState Simulator::tapState() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->debugger.chain().state();
}

TapState Simulator::tapState(std::size_t /*device*/) const {
    return tapState();
}

bool Simulator::linkConnected() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->peer.connected();
}

bool Simulator::attached() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->debugger.attached();
}

bool Simulator::pinsEnabled() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->debugger.pinsEnabled();
}

bool Simulator::tapAccessOpen() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->debugger.tapAccessOpen();
}

std::vector<std::string> Simulator::commands() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const auto& commands = impl_->debugger.commands();
    return {commands.begin(), commands.end()};
}

std::vector<RawShiftRecord> Simulator::rawShifts() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    const auto& shifts = impl_->debugger.rawShifts();
    return {shifts.begin(), shifts.end()};
}

SimCounters Simulator::counters() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->counters;
}

std::vector<std::string> Simulator::recentLog() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return {impl_->recentLog.begin(), impl_->recentLog.end()};
}

bool Simulator::waitForLogLine(const std::string& text, std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> lock(impl_->mutex);
    return impl_->logged.wait_for(lock, limit, [&] {
        return std::any_of(impl_->recentLog.begin(), impl_->recentLog.end(),
                           [&](const std::string& line) {
                               return line.find(text) != std::string::npos;
                           });
    });
}

void Simulator::resetInspection() {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->counters = SimCounters{};
    impl_->debugger.clearRecords();
    impl_->recentLog.clear();
}

bool Simulator::instruction(std::size_t device, std::uint64_t& opcode) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (device >= impl_->debugger.chain().deviceCount()) return false;
    opcode = impl_->debugger.chain().instruction(device);
    return true;
}

bool Simulator::userRegister(std::size_t device, std::uint64_t opcode,
                             std::vector<std::uint8_t>& bits) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->debugger.chain().userRegister(device, opcode, bits);
}

}  // namespace quorbit
