// SPDX-License-Identifier: Apache-2.0
// The bridge's batching against quorbit-sim's own remote_bitbang session, which clocks the chain
// bit by bit: the same bytes give the same answers and leave the TAP in the same state. Then the
// calls an OpenOCD scan becomes, the commands it refuses, and the TCP server with real sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
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
    const char* chainFile;  // empty: the demo chain
    unsigned seed;
    std::size_t largestPiece;  // the bridge gets the bytes in random pieces up to this size
};

class BatchingAgreementTest : public testing::TestWithParam<AgreementRow> {};

TEST_P(BatchingAgreementTest, SameAnswersAsBitByBit) {
    quorbit::SimOptions options;
    std::string error;
    if (*GetParam().chainFile != 0) {
        ASSERT_TRUE(quorbit::parseChainFile(
            std::string(QUORBIT_SIM_CHAINS_DIR "/") + GetParam().chainFile, options.chain, error))
            << error;
    }
    const std::string bytes = randomClocks(GetParam().seed, 20000);
    quorbit::EmulatedDebugger direct(options.chain, 0);
    quorbit::BitbangSession session(direct);
    std::string expected;
    session.feed(bytes.data(), bytes.size(), expected);

    bridgetest::ModelCable cable(options.chain);
    csebridge::BitbangBatcher batcher(cable, nullptr);
    std::mt19937 random(GetParam().seed);
    std::string answers;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t piece =
            std::min(bytes.size() - at, 1 + random() % GetParam().largestPiece);
        EXPECT_TRUE(batcher.feed(bytes.data() + at, piece, answers).open);
        at += piece;
    }
    const auto differ =
        std::mismatch(answers.begin(), answers.end(), expected.begin(), expected.end());
    EXPECT_EQ(answers.size(), expected.size());
    EXPECT_TRUE(differ.first == answers.end()) << "answer " << differ.first - answers.begin();
    EXPECT_EQ(int(cable.state()), int(direct.chain().state()));
    if (GetParam().largestPiece >= 300) {
        EXPECT_LT(cable.calls.size(), batcher.counts().clocks / 2);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, BatchingAgreementTest,
    testing::Values(AgreementRow{"DemoWhole", "", 1, 1u << 20},
                    AgreementRow{"DemoSmallPieces", "", 2, 7},
                    AgreementRow{"DemoPieces", "", 3, 300},
                    AgreementRow{"Long20Pieces", "long20.chain", 4, 500},
                    AgreementRow{"NoIdcodeWhole", "no-idcode.chain", 5, 1u << 20}),
    [](const testing::TestParamInfo<AgreementRow>& info) { return info.param.name; });

// One OpenOCD scan: the walk to the shift state, the bits (each sampled before its edge), the
// last with TMS 1, then the way to the end state.
std::string openOcdScan(const std::string& tms, const std::string& tdi, const std::string& after) {
    std::string text;
    for (char t : tms) text += t == '1' ? "264" : "040";
    for (std::size_t i = 0; i < tdi.size(); ++i) {
        const int lines = (i + 1 == tdi.size() ? 2 : 0) + (tdi[i] == '1');
        text += char('0' + lines);
        text += 'R';
        text += char('4' + lines);
    }
    for (char t : after) text += t == '1' ? "264" : "040";
    return text + "0";
}

TEST(BatchingTest, OpenOcdScansBecomeOneCallEachWhenTheyArriveTogether) {
    bridgetest::ModelCable cable(quorbit::defaultDemoChain());
    cable.navigate(CSEJTAG_RUN_TEST_IDLE, 0);
    cable.calls.clear();
    csebridge::BitbangBatcher batcher(cable, nullptr);
    std::string answers;
    // IR of the demo chain (18 bits) to Idle, DR with five idle clocks, DR into Pause-DR.
    const std::string ir = openOcdScan("1100", std::string(18, '1'), "10");
    const std::string dr = openOcdScan("100", std::string(40, '0'), "1000000");
    const std::string pause = openOcdScan("100", "101", "0");
    const std::string all = ir + dr + pause;
    ASSERT_TRUE(batcher.feed(all.data(), all.size(), answers).open);
    EXPECT_EQ(cable.calls, (std::vector<std::string>{"scan IR 18 -> 1", "scan DR 40 -> 1",
                                                     "nav 1 +4", "scan DR 3 -> 6"}));
    EXPECT_EQ(answers.size(), 61u);
    EXPECT_EQ(answers.substr(0, 18), "100010000000100000") << "the IRs capture ...01";

    // Fed as OpenOCD sends them, waiting for the answers after the last bit of each scan.
    bridgetest::ModelCable fresh(quorbit::defaultDemoChain());
    fresh.navigate(CSEJTAG_RUN_TEST_IDLE, 0);
    fresh.calls.clear();
    csebridge::BitbangBatcher waiting(fresh, nullptr);
    for (const std::string& piece :
         {ir.substr(0, ir.size() - 7), ir.substr(ir.size() - 7) + dr.substr(0, dr.size() - 22),
          dr.substr(dr.size() - 22)}) {
        waiting.feed(piece.data(), piece.size(), answers);
    }
    EXPECT_EQ(fresh.calls, (std::vector<std::string>{"scan IR 18 -> 12", "nav 1 +0",
                                                     "scan DR 40 -> 5", "nav 1 +5"}));
}

TEST(BatchingTest, ResetLinesBlinkQuitAndRefusals) {
    bridgetest::ModelCable cable(quorbit::defaultDemoChain());
    std::vector<std::string> notes;
    csebridge::BitbangBatcher batcher(cable,
                                      [&](const std::string& line) { notes.push_back(line); });
    std::string answers;
    EXPECT_TRUE(batcher.feed("040", 3, answers).open);  // Test-Logic-Reset -> Run-Test/Idle
    EXPECT_TRUE(batcher.feed("BbtRusr", 7, answers).open);
    EXPECT_EQ(cable.calls, (std::vector<std::string>{"nav 1 +0", "reset"}));
    EXPECT_EQ(answers, "1");
    EXPECT_EQ(
        notes,
        (std::vector<std::string>{"remote_bitbang: SRST is not available on this cable; ignored"}));
    const csebridge::BitbangBatcher::FeedResult quit = batcher.feed("040QR", 5, answers);
    EXPECT_FALSE(quit.open);
    EXPECT_TRUE(quit.refusal.empty());
    EXPECT_EQ(cable.calls.back(), "nav 1 +0") << "what came before Q is carried out";
    for (const char bad : {'\n', 'x', '8', '\0', '\xff'}) {
        const std::string text = std::string("0R4") + bad + "R";
        answers.clear();
        const auto refused = batcher.feed(text.data(), text.size(), answers);
        EXPECT_FALSE(refused.open);
        EXPECT_EQ(answers, "1");
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", unsigned(static_cast<unsigned char>(bad)));
        EXPECT_EQ(refused.refusal, std::string("remote_bitbang: byte ") + hex +
                                       " is not a command; connection closed");
    }
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
    // Sends, then reads `count` answer bytes; what came before the peer closed.
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

TEST(BitbangServerTest, OneClientAtATimeAndTheNextAfterADisconnectMidScan) {
    bridgetest::ModelCable cable(quorbit::defaultDemoChain());
    std::mutex mutex;
    std::condition_variable noted;
    std::string notes;
    // Waits for the server to say that a client has gone, before the next one connects.
    const auto waitForNote = [&](const std::string& text) {
        std::unique_lock<std::mutex> lock(mutex);
        noted.wait(lock, [&] { return notes.find(text) != std::string::npos; });
        notes.replace(notes.find(text), text.size(), "(seen)");
    };
    csebridge::ServerOptions options;
    options.port = 0;
    csebridge::BitbangServer server(cable, options, [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        notes += line + "\n";
        noted.notify_all();
    });
    std::string error;
    ASSERT_TRUE(server.open(error)) << error;
    ASSERT_NE(server.port(), 0);
    std::thread serving([&] { server.serve(); });
    {
        const Client first(server.port());
        ASSERT_TRUE(first.connected);
        // To Shift-DR and two bits out.
        EXPECT_EQ(first.ask("0404262404040R40R4", 2), "11");
        const Client second(server.port());
        EXPECT_TRUE(second.closedByPeer());
        EXPECT_EQ(first.ask("0R4", 1), "1") << "the first is still served";
        (void)first.ask("0R40R40R4", 0);  // and goes away with a scan half done
    }
    waitForNote(" disconnected");
    const Client third(server.port());
    EXPECT_EQ(third.ask("26426426426426404040R4", 1), "1");
    EXPECT_EQ(third.ask("Z", 1), "");
    EXPECT_TRUE(third.closedByPeer());
    waitForNote(" closed\n");
    const Client fourth(server.port());
    EXPECT_EQ(fourth.ask("0R4", 1), "1");
    server.requestStop();
    serving.join();
    EXPECT_EQ(server.totals().clients, 3u);
    EXPECT_EQ(server.totals().refusedConnections, 1u);
    std::lock_guard<std::mutex> lock(mutex);
    const std::string& all = notes;
    EXPECT_NE(all.find("refused: one client at a time"), std::string::npos) << all;
    EXPECT_NE(all.find("byte 0x5A is not a command"), std::string::npos) << all;
    EXPECT_NE(all.find("closed: the bridge is stopping"), std::string::npos) << all;
}

TEST(BitbangServerTest, AClientThatNeverTakesItsAnswersDoesNotKeepAStopWaiting) {
    bridgetest::ModelCable cable(quorbit::defaultDemoChain());
    csebridge::ServerOptions options;
    options.port = 0;
    csebridge::BitbangServer server(cable, options, nullptr);
    std::string error;
    ASSERT_TRUE(server.open(error)) << error;
    std::thread serving([&] { server.serve(); });
    const Client greedy(server.port());
    EXPECT_EQ(greedy.ask("0R4", 1), "1");
    // More answers than the sockets hold, none of them read.
    const std::string reads(32u << 20, 'R');
    (void)!::send(greedy.fd, reads.data(), reads.size(), MSG_NOSIGNAL);
    server.requestStop();
    serving.join();
    EXPECT_EQ(server.totals().clients, 1u);
}

}  // namespace
