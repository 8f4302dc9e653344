// SPDX-License-Identifier: Apache-2.0
// remote_bitbang: the session's character protocol without a socket, then the running emulator
// read over TCP the way a bit-banging JTAG tool reads it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sim/BitbangSession.h"
#include "sim/QuorbitSim.h"
#include "support/ChainDriver.h"

namespace {

using quorbit::TapState;

// One clock per TMS/TDI pair, with TDO read while TCK is low, before the rising edge.
std::string clocks(const std::vector<int>& tms, const std::vector<int>& tdi, bool read) {
    std::string text;
    for (std::size_t k = 0; k < tms.size(); ++k) {
        const int lines = (tms[k] ? 2 : 0) | (tdi.empty() ? 0 : tdi[k]);
        text.push_back(static_cast<char>('0' + lines));
        if (read) text.push_back('R');
        text.push_back(static_cast<char>('4' + lines));
    }
    return text;
}

TEST(BitbangSession, OnlyRisingEdgesClockTheChain) {
    quorbit::EmulatedDebugger debugger(quorbit::defaultDemoChain(), 0);
    quorbit::BitbangSession session(debugger);
    std::string response;
    const auto result = session.feed("04040", 5, response);  // two rising edges, TMS 0
    EXPECT_EQ(result.clocks, 2u);
    EXPECT_EQ(debugger.chain().state(), TapState::RunTestIdle);
    const auto held = session.feed("6666", 4, response);  // TCK stays high: no new edge
    EXPECT_EQ(held.clocks, 1u);
    EXPECT_EQ(debugger.chain().state(), TapState::SelectDrScan);
}

TEST(BitbangSession, TdoReadWhileTckIsHighShowsTheBitThatEdgeSampled) {
    quorbit::EmulatedDebugger debugger(quorbit::defaultDemoChain(), 0);
    quorbit::BitbangSession session(debugger);
    std::string response;
    const std::string toShiftDr = clocks({1, 1, 1, 1, 1, 0, 1, 0, 0}, {}, false);
    session.feed(toShiftDr.data(), toShiftDr.size(), response);
    ASSERT_EQ(debugger.chain().state(), TapState::ShiftDr);
    // nerid's BYPASS bit (0) is out first; shift a 1 in and read before and after the fall.
    session.feed("1R5R1R", 6, response);
    EXPECT_EQ(response, "001") << "low: BYPASS 0; high: still 0; low again: talpa's IDCODE bit 0";
}

TEST(BitbangSession, TrstAssertedResetsAndHoldsTheTap) {
    quorbit::EmulatedDebugger debugger(quorbit::defaultDemoChain(), 0);
    quorbit::BitbangSession session(debugger);
    std::string response;
    session.feed("0404", 4, response);
    ASSERT_EQ(debugger.chain().state(), TapState::RunTestIdle);
    const auto held = session.feed("t0626", 5, response);
    EXPECT_EQ(held.clocks, 0u) << "no clocking while TRST is asserted";
    EXPECT_EQ(debugger.chain().state(), TapState::TestLogicReset);
    EXPECT_TRUE(session.trstAsserted());
    session.feed("r0404", 5, response);
    EXPECT_EQ(debugger.chain().state(), TapState::RunTestIdle);
}

TEST(BitbangSession, BlinkQuitAndUnknownCharacters) {
    quorbit::EmulatedDebugger debugger(quorbit::defaultDemoChain(), 0);
    quorbit::BitbangSession session(debugger);
    std::string response;
    auto result = session.feed("B?\n", 3, response);
    EXPECT_TRUE(session.ledOn());
    EXPECT_EQ(result.unknown, 1u);
    result = session.feed("bQ04", 4, response);
    EXPECT_FALSE(session.ledOn());
    EXPECT_FALSE(result.open);
    EXPECT_EQ(result.clocks, 0u) << "nothing after Q is executed";
}

class BitbangOverTcp : public ::testing::Test {
  protected:
    void SetUp() override {
        quorbit::SimOptions options;
        options.rbbPort = 0;
        simulator = std::make_unique<quorbit::Simulator>(options);
        std::string error;
        ASSERT_TRUE(simulator->start(error)) << error;
        ASSERT_GT(simulator->rbbPort(), 0);
        socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(simulator->rbbPort()));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    void TearDown() override {
        if (socket_ >= 0) ::close(socket_);
    }

    void send(const std::string& text) {
        ASSERT_EQ(::send(socket_, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    }
    // Reads exactly count characters (or less when the emulator closes or stays silent).
    std::string receive(std::size_t count) {
        std::string text;
        while (text.size() < count) {
            pollfd descriptor{socket_, POLLIN, 0};
            if (::poll(&descriptor, 1, 5000) <= 0) break;
            char buffer[4096];
            const ssize_t length = ::recv(socket_, buffer, sizeof buffer, 0);
            if (length <= 0) break;
            text.append(buffer, static_cast<std::size_t>(length));
        }
        return text;
    }

    std::unique_ptr<quorbit::Simulator> simulator;
    int socket_ = -1;
};

TEST_F(BitbangOverTcp, ReadsTheDemoChainsIdcodes) {
    send(clocks({1, 1, 1, 1, 1, 0, 1, 0, 0}, {}, false));
    std::vector<int> tms(65, 0);
    tms.back() = 1;
    send(clocks(tms, std::vector<int>(65, 1), true) + clocks({1, 0}, {}, false));
    const std::string tdo = receive(65);
    ASSERT_EQ(tdo.size(), 65u);
    simtest::BitBytes bits(9, 0);
    for (std::size_t k = 0; k < tdo.size(); ++k) {
        if (tdo[k] == '1') bits[k / 8] = static_cast<std::uint8_t>(bits[k / 8] | (1u << (k % 8)));
    }
    EXPECT_EQ(simtest::valueOf(bits, 0, 1), 0u);
    EXPECT_EQ(simtest::valueOf(bits, 1, 32), 0x27A31EFFu);
    EXPECT_EQ(simtest::valueOf(bits, 33, 32), 0x151C0EFFu);
    send("Q");
    EXPECT_EQ(receive(1), "") << "the emulator closes the session after Q";
    EXPECT_EQ(simulator->tapState(), TapState::RunTestIdle);
    EXPECT_EQ(simulator->counters().rbbClocks, 9u + 65u + 2u);
}

TEST_F(BitbangOverTcp, TrstLineResetsTheChainSharedWithTheUdpSide) {
    send(clocks({1, 1, 1, 1, 1, 0, 1}, {}, false) + "R");
    ASSERT_EQ(receive(1), "1");
    EXPECT_EQ(simulator->tapState(), TapState::SelectDrScan);
    send("uR");
    ASSERT_EQ(receive(1), "1");
    EXPECT_EQ(simulator->tapState(), TapState::TestLogicReset);
}

}  // namespace
