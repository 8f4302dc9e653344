// SPDX-License-Identifier: Apache-2.0
// The bridge's windows of clocks against quorbit-sim's own remote_bitbang session, which clocks
// the chain bit by bit: the same bytes give the same answers and leave the TAP in the same state.
// Then the server with real sockets: one shift per wait of a client that buffers as OpenOCD 0.12
// does, failures answered with errors, recovery, and a stop.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bridge/BitbangBatcher.h"
#include "bridge/BitbangServer.h"
#include "sim/BitbangSession.h"
#include "sim/EmulatedDebugger.h"
#include "sim/QuorbitSim.h"
#include "support/ModelCable.h"

namespace {

using namespace CsePluginInterface;
using csebridge::BitbangBatcher;

// Clocks as a bit-banging client sends them: TCK low with TMS/TDI, then high; reads before and
// after the edge. Stretches where TMS is mostly 0 make long shifts, others wander the diagram.
std::string randomClocks(unsigned seed, int clocks) {
    std::mt19937 random(seed);
    std::string text;
    double tmsOne = 0.5;
    for (int i = 0; i < clocks; ++i) {
        if (random() % 40 == 0) tmsOne = std::vector<double>{0.02, 0.5, 0.9}[random() % 3];
        const int lines = (std::bernoulli_distribution(tmsOne)(random) ? 2 : 0) + int(random() % 2);
        text += char('0' + lines);
        if (random() % 2) text += 'R';
        text += char('4' + lines);
        if (random() % 5 == 0) text += 'R';
        if (random() % 300 == 0) text += "t0R4Rr";  // TRST pulse, with a clock it must ignore
        if (random() % 200 == 0) text += "Bb";
    }
    return text;
}

struct AgreementRow {
    const char* name;
    const char* chainFile;     // empty: the demo chain
    unsigned seed;
    std::size_t largestPiece;  // the bridge gets the bytes in random pieces up to this size...
    bool waitAtLowReads;       // ...or cut after every read with TCK low (OpenOCD 0.10's waits)
};

void PrintTo(const AgreementRow& row, std::ostream* out) {
    *out << row.name;
}

class BatchingAgreementTest : public testing::TestWithParam<AgreementRow> {};

TEST_P(BatchingAgreementTest, SameAnswersAsBitByBit) {
    const AgreementRow& row = GetParam();
    quorbit::SimOptions options;
    std::string error;
    if (*row.chainFile != 0) {
        ASSERT_TRUE(quorbit::parseChainFile(std::string(QUORBIT_SIM_CHAINS_DIR "/") + row.chainFile,
                                            options.chain, error))
            << error;
    }
    const std::string bytes = randomClocks(row.seed, 20000);
    quorbit::EmulatedDebugger direct(options.chain, 0);
    quorbit::BitbangSession session(direct);
    std::string expected;
    const uint64_t clocks = session.feed(bytes.data(), bytes.size(), expected).clocks;

    bridgetest::ModelCable cable(options.chain);
    BitbangBatcher batcher(cable, nullptr);
    std::mt19937 random(row.seed);
    std::string answers;
    std::size_t waits = 0;
    for (std::size_t at = 0; at < bytes.size();) {
        std::size_t piece = std::min(bytes.size() - at, 1 + random() % row.largestPiece);
        if (row.waitAtLowReads) {
            const std::size_t read = bytes.find('R', at);
            piece = read == std::string::npos ? bytes.size() - at : read + 1 - at;
        }
        ASSERT_TRUE(batcher.feed(bytes.data() + at, piece, answers).open) << "at byte " << at;
        at += piece;
        // The client waits after this piece: the server carries the window out.
        batcher.carryOut(answers);
        ++waits;
    }
    const auto differ =
        std::mismatch(answers.begin(), answers.end(), expected.begin(), expected.end());
    EXPECT_EQ(answers.size(), expected.size());
    EXPECT_TRUE(differ.first == answers.end()) << "answer " << differ.first - answers.begin();
    EXPECT_EQ(int(cable.state()), int(direct.chain().state()));
    EXPECT_LE(cable.shifts.size(), waits) << "at most one shift per wait";
    EXPECT_EQ(batcher.counts().clocks, clocks);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, BatchingAgreementTest,
    testing::Values(AgreementRow{"DemoWhole", "", 1, 1u << 20, false},
                    AgreementRow{"DemoSmallPieces", "", 2, 7, false},
                    AgreementRow{"DemoPieces", "", 3, 300, false},
                    AgreementRow{"Long20Pieces", "long20.chain", 4, 500, false},
                    AgreementRow{"NoIdcodeWhole", "no-idcode.chain", 5, 1u << 20, false},
                    AgreementRow{"DemoLowReadWaits", "", 6, 1, true},
                    AgreementRow{"Long20LowReadWaits", "long20.chain", 7, 1, true}),
    [](const testing::TestParamInfo<AgreementRow>& info) { return info.param.name; });

TEST(BatchingTest, LongUncheckedRunsGoInBlocksAndTheRestWhenTheClientWaits) {
    bridgetest::ModelCable cable(quorbit::defaultDemoChain());
    BitbangBatcher batcher(cable, nullptr);
    std::string clocks;
    for (int i = 0; i < 150000; ++i) clocks += "04";
    std::string answers;
    ASSERT_TRUE(batcher.feed(clocks.data(), clocks.size(), answers).open);
    EXPECT_EQ(cable.shifts, (std::vector<uint32_t>{61408, 61408}));
    batcher.carryOut(answers);
    EXPECT_EQ(cable.shifts.back(), 150000u - 2 * 61408u);
    EXPECT_EQ(answers, "");
}

TEST(BatchingTest, ResetLinesBlinkQuitAndRefusals) {
    bridgetest::ModelCable cable(quorbit::defaultDemoChain());
    std::vector<std::string> notes;
    BitbangBatcher batcher(cable, [&](const std::string& line) { notes.push_back(line); });
    std::string answers;
    // To Shift-DR, TRST there (warned), TRST in Test-Logic-Reset (not warned), SRST (noted once).
    const std::string text = "04260404tR0R4rR26tr26urs";
    EXPECT_TRUE(batcher.feed(text.data(), text.size(), answers).open);
    batcher.carryOut(answers);
    EXPECT_EQ(answers, "111") << "TCK high: the last edge; TCK low under TRST: the reset TAP";
    EXPECT_EQ(int(cable.state()), int(CSEJTAG_TEST_LOGIC_RESET));
    EXPECT_EQ(batcher.counts().resets, 3u);
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_NE(notes[0].find("TRST outside Run-Test/Idle"), std::string::npos) << notes[0];
    EXPECT_NE(notes[1].find("SRST is not available"), std::string::npos) << notes[1];
    const BitbangBatcher::FeedResult quit = batcher.feed("040QR", 5, answers);
    EXPECT_FALSE(quit.open);
    EXPECT_TRUE(quit.refusal.empty());
    EXPECT_EQ(int(cable.state()), int(CSEJTAG_RUN_TEST_IDLE)) << "what came before Q is done";
    for (const char bad : {'\n', 'x', '8', '\0', '\xff'}) {
        const std::string refused = std::string("0R4") + bad + "R";
        answers.clear();
        const auto result = batcher.feed(refused.data(), refused.size(), answers);
        EXPECT_FALSE(result.open);
        EXPECT_EQ(answers, "1");
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", unsigned(static_cast<unsigned char>(bad)));
        EXPECT_EQ(result.refusal,
                  std::string("remote_bitbang: byte ") + hex + " is not a command; connection closed");
    }
    // A read with TCK low answered before its edge; the edge then comes with other lines.
    answers.clear();
    EXPECT_TRUE(batcher.feed("0R", 2, answers).open);
    batcher.carryOut(answers);
    EXPECT_EQ(answers, "1");
    const auto other = batcher.feed("6", 1, answers);
    EXPECT_FALSE(other.open);
    EXPECT_NE(other.refusal.find("other TMS/TDI lines"), std::string::npos) << other.refusal;
}

// Newer OpenOCD clients send sleeps ('Z' 1 ms, 'z' 1 us) between clocks and reads, inside a scan
// and between two: they change no answer and no clock, and the connection stays open.
TEST(BatchingTest, SleepsAreNoOps) {
    const std::string plain = randomClocks(8, 3000);
    std::string slept;
    std::mt19937 random(8);
    for (const char c : plain) {
        slept += c;
        if (random() % 7 == 0) slept += random() % 2 != 0 ? "Z" : "zzz";
    }
    std::string expected;
    std::string answers;
    bridgetest::ModelCable reference(quorbit::defaultDemoChain());
    BitbangBatcher plainBatcher(reference, nullptr);
    ASSERT_TRUE(plainBatcher.feed(plain.data(), plain.size(), expected).open);
    plainBatcher.carryOut(expected);
    bridgetest::ModelCable cable(quorbit::defaultDemoChain());
    BitbangBatcher batcher(cable, nullptr);
    ASSERT_TRUE(batcher.feed(slept.data(), slept.size(), answers).open);
    batcher.carryOut(answers);
    EXPECT_EQ(answers, expected);
    EXPECT_EQ(batcher.counts().clocks, plainBatcher.counts().clocks);
    EXPECT_EQ(int(cable.state()), int(reference.state()));
}

// A small client of the server's TCP port.
struct Client {
    explicit Client(uint16_t port) : fd(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { ::close(fd); }
    // Sends in one write, then reads `count` answer bytes; what came before the peer closed.
    std::string ask(const std::string& text, std::size_t count) const {
        (void)!::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        std::string got;
        char c;
        while (got.size() < count && ::recv(fd, &c, 1, 0) == 1) got += c;
        return got;
    }
    [[nodiscard]] bool closedByPeer() const {
        char c;
        return ::recv(fd, &c, 1, 0) == 0;
    }
    int fd;
    bool connected = false;
};

// A server on a model cable in a thread of its own, with its notes collected.
struct Serving {
    explicit Serving(bridgetest::ModelCable& cable) : server(cable, options(), [this](auto& line) {
        std::lock_guard<std::mutex> lock(mutex);
        notes += line + "\n";
        noted.notify_all();
    }) {
        std::string error;
        EXPECT_TRUE(server.open(error)) << error;
        thread = std::thread([this] { server.serve(); });
    }
    ~Serving() {
        server.requestStop();
        thread.join();
    }
    static csebridge::ServerOptions options() {
        csebridge::ServerOptions chosen;
        chosen.port = 0;
        return chosen;
    }
    // Waits for the server to note `text` (each sighting counts once).
    void waitForNote(const std::string& text) {
        std::unique_lock<std::mutex> lock(mutex);
        noted.wait(lock, [&] { return notes.find(text) != std::string::npos; });
        notes.replace(notes.find(text), text.size(), "(seen)");
    }
    std::mutex mutex;
    std::condition_variable noted;
    std::string notes;
    csebridge::BitbangServer server;
    std::thread thread;
};

// An OpenOCD 0.12 scan from Run-Test/Idle: `idle` clocks there, to Shift-DR, `bits` bits whose
// TDO is read before each rising edge, back to Run-Test/Idle. Each element is what the client
// sends before it waits (its windows of `window` reads; window 0: OpenOCD 0.10, which waits
// after each read, before the edge); the last has no read.
std::vector<std::string> checkedScan(unsigned idle, unsigned bits, unsigned window) {
    std::vector<std::string> waits(1, std::string());
    for (unsigned i = 0; i < idle; ++i) waits.back() += "04";
    waits.back() += "262404";  // Select-DR, Capture-DR, Shift-DR
    for (unsigned bit = 0; bit < bits; ++bit) {
        const int lines = (bit + 1 == bits ? 2 : 0) + int(bit % 3 == 0);
        waits.back() += {char('0' + lines), 'R'};
        if (window == 0) waits.emplace_back();
        waits.back() += char('4' + lines);
        if (window != 0 && ((bit + 1) % window == 0 || bit + 1 == bits)) waits.emplace_back();
    }
    waits.back() += "2604040";  // Update-DR, Run-Test/Idle, TCK low
    return waits;
}

struct WindowRow {
    const char* name;
    unsigned idle;
    unsigned bits;
    unsigned window;
};

void PrintTo(const WindowRow& row, std::ostream* out) {
    *out << row.name;
}

class ServerWindowTest : public testing::TestWithParam<WindowRow> {};

TEST_P(ServerWindowTest, OneShiftPerWaitAndTheAnswersOfTheChainBitByBit) {
    const WindowRow& row = GetParam();
    bridgetest::ModelCable cable(quorbit::defaultDemoChain());
    quorbit::EmulatedDebugger direct(quorbit::defaultDemoChain(), 0);
    quorbit::BitbangSession session(direct);
    std::string unused;
    session.feed("262626262604", 12, unused);  // both to Run-Test/Idle
    cable.recover();
    cable.shifts.clear();
    std::vector<std::string> waits = checkedScan(row.idle, row.bits, row.window);
    {
        Serving serving(cable);
        const Client client(serving.server.port());
        for (std::size_t i = 0; i + 1 < waits.size(); ++i) {
            std::string expected;
            session.feed(waits[i].data(), waits[i].size(), expected);
            EXPECT_EQ(client.ask(waits[i], expected.size()), expected) << "wait " << i;
        }
        EXPECT_EQ(client.ask(waits.back() + "Q", 0), "");
        serving.waitForNote(" quit");
    }
    EXPECT_EQ(cable.shifts.size(), waits.size()) << "one per wait, and the clocks after the last";
    EXPECT_EQ(int(cable.state()), int(CSEJTAG_RUN_TEST_IDLE));
}

INSTANTIATE_TEST_SUITE_P(
    Scans, ServerWindowTest,
    testing::Values(WindowRow{"OneBit", 0, 1, 255}, WindowRow{"OneWindow", 0, 255, 255},
                    WindowRow{"OneMore", 0, 256, 255}, WindowRow{"Long", 3, 1000, 255},
                    // 2 + 6 + 168 * 3: the client's 512-byte buffer full right before it waits.
                    WindowRow{"WaitOnABufferBoundary", 1, 336, 168},
                    WindowRow{"ReadsWithTckLowWaitedFor", 2, 100, 0}),
    [](const testing::TestParamInfo<WindowRow>& info) { return info.param.name; });

TEST(BitbangServerTest, OneClientAtATimeAndTheNextAfterADisconnectMidScan) {
    bridgetest::ModelCable cable(quorbit::defaultDemoChain());
    Serving serving(cable);
    {
        const Client first(serving.server.port());
        ASSERT_TRUE(first.connected);
        // To Shift-DR and two bits out.
        EXPECT_EQ(first.ask("0404262404040R40R4", 2), "11");
        const Client second(serving.server.port());
        EXPECT_TRUE(second.closedByPeer());
        EXPECT_EQ(first.ask("0R4", 1), "1") << "the first is still served";
        (void)first.ask("0R40R40R4", 0);  // and goes away with a scan half done
    }
    serving.waitForNote(" disconnected");
    const Client third(serving.server.port());
    EXPECT_EQ(third.ask("26426426426426404Z040zR4", 1), "1") << "sleeps keep the connection";
    EXPECT_EQ(third.ask("X", 1), "");
    EXPECT_TRUE(third.closedByPeer());
    serving.waitForNote(" closed\n");
    const Client fourth(serving.server.port());
    EXPECT_EQ(fourth.ask("0R4", 1), "1");
    serving.server.requestStop();
    serving.waitForNote("closed: the bridge is stopping");
    EXPECT_EQ(serving.server.totals().clients, 3u);
    EXPECT_EQ(serving.server.totals().refusedConnections, 1u);
    std::lock_guard<std::mutex> lock(serving.mutex);
    EXPECT_NE(serving.notes.find("refused: one client at a time"), std::string::npos);
    EXPECT_NE(serving.notes.find("byte 0x58 is not a command"), std::string::npos);
}

// OpenOCD ends each command queue with 'b' and starts the next with 'B', each sent at once: clocks
// that end a queue without a read (the last scan's Update-DR, idle clocks) may wait for the next
// queue's clocks (the server sends them together); other clocks without a read may not.
TEST(BatchingTest, OnlyTheTailOfAFinishedQueueMayWait) {
    struct Row {
        const char* bytes;
        bool tail;
    };
    for (const Row row : {Row{"0404b", true}, Row{"0404bB", true}, Row{"262604bB", true},
                          Row{"0404", false}, Row{"0404bB04", false}, Row{"0R4b", false},
                          Row{"b", false}, Row{"0404bBZ", false}}) {
        bridgetest::ModelCable cable(quorbit::defaultDemoChain());
        BitbangBatcher batcher(cable, nullptr);
        std::string answers;
        ASSERT_TRUE(batcher.feed(row.bytes, std::strlen(row.bytes), answers).open);
        EXPECT_EQ(batcher.queueTailOnly(), row.tail) << row.bytes;
    }
}

// A cable failure under a client: its reads get errors and the cable is recovered for the next;
// while the cable stays away every client's first read gets an error, one recovery each.
struct FailureRow {
    const char* name;
    std::string firstClient;  // sent before the client waits for one answer
    bool readWaits;           // a read waits when the cable fails: the error comes at once
    bool away;                // the cable does not come back until the third client
};

void PrintTo(const FailureRow& row, std::ostream* out) {
    *out << row.name;
}

std::string uncheckedClocks(unsigned count) {
    std::string text;
    for (unsigned i = 0; i < count; ++i) text += "04";
    return text;
}

class ServerFailureTest : public testing::TestWithParam<FailureRow> {};

TEST_P(ServerFailureTest, ErrorsInsteadOfAnswersThenTheCableAgain) {
    const FailureRow& row = GetParam();
    bridgetest::ModelCable cable(quorbit::defaultDemoChain());
    cable.failAtShift = 1;
    cable.away = row.away;
    Serving serving(cable);
    {
        const Client failing(serving.server.port());
        if (!row.readWaits) (void)failing.ask(row.firstClient, 0);
        EXPECT_EQ(failing.ask(row.readWaits ? row.firstClient : "0R4", 2),
                  std::string(1, csebridge::kFailedRead));
        EXPECT_TRUE(failing.closedByPeer());
    }
    serving.waitForNote("closed: the cable failed");
    EXPECT_EQ(cable.recoveries, 1u) << "at once, before the error is sent";
    if (row.away) {
        const Client refused(serving.server.port());
        EXPECT_EQ(refused.ask("0404R", 1), std::string(1, csebridge::kFailedRead));
        EXPECT_TRUE(refused.closedByPeer());
        serving.waitForNote("gets an error on its first read");
        EXPECT_EQ(cable.recoveries, 2u);
        cable.away = false;
    }
    const Client next(serving.server.port());
    EXPECT_EQ(next.ask("2626262626040R4", 1), "1");
    EXPECT_EQ(cable.recoveries, row.away ? 3u : 1u);
    serving.server.requestStop();
    serving.waitForNote("closed: the bridge is stopping");
    EXPECT_EQ(serving.server.totals().failedCalls, 1u);
    EXPECT_GT(serving.server.totals().cable.clocks, 0u) << "a failed client's clocks count too";
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ServerFailureTest,
    testing::Values(FailureRow{"ReadWaiting", "0404R", true, false},
                    // A full window fails before the client reads: the error waits for its read.
                    FailureRow{"NoReadWaiting", uncheckedClocks(BitbangBatcher::kMaxWindowClocks + 1),
                               false, false},
                    FailureRow{"CableAway", "0404R", true, true}),
    [](const testing::TestParamInfo<FailureRow>& info) { return info.param.name; });

TEST(BitbangServerTest, AStopEndsAClientWithQueuedInputAndReadsItNeverTakes) {
    bridgetest::ModelCable cable(quorbit::defaultDemoChain());
    csebridge::BitbangServer server(cable, Serving::options(), nullptr);
    std::string error;
    ASSERT_TRUE(server.open(error)) << error;
    std::thread serving([&] { server.serve(); });
    const Client greedy(server.port());
    EXPECT_EQ(greedy.ask("0R4", 1), "1");
    // 10 MB of clocks and reads, more than the bridge buffers; the answers are never read.
    std::thread sending([&] {
        std::string bytes;
        for (int i = 0; i < (10 << 20) / 4; ++i) bytes += "0R4R";
        (void)!::send(greedy.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    });
    server.requestStop();
    serving.join();
    sending.join();
    EXPECT_EQ(server.totals().clients, 1u);
}

}  // namespace
