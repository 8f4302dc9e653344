// SPDX-License-Identifier: Apache-2.0
// The running emulator on an ephemeral port, driven over real UDP by the tests' scripted client:
// handshake, sync, fragments with flow tokens, raw shifts reading the IDCODEs, and the checks of
// start().
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <random>

#include "sim/QuorbitSim.h"
#include "sim/VirtualChain.h"
#include "support/ChainDriver.h"
#include "support/ScriptedClient.h"

namespace {

using simtest::Bytes;
using simtest::ScriptedClient;

class RunningSimulator : public ::testing::Test {
  protected:
    void startWith(quorbit::SimOptions options) {
        simulator = std::make_unique<quorbit::Simulator>(std::move(options));
        std::string error;
        ASSERT_TRUE(simulator->start(error)) << error;
        ASSERT_NE(simulator->udpPort(), 0);
    }
    void SetUp() override { startWith({}); }

    // Reset, then Run-Test/Idle to Shift-DR, as the plug-in's navigation sends them.
    static void resetToShiftDr(ScriptedClient& client) {
        const Bytes reset = {0xFF};
        const Bytes toShiftDr = {0x02};
        ASSERT_EQ(client.rawShift(0, 6, &reset, nullptr, false).status, 0);
        ASSERT_EQ(client.rawShift(0, 4, &toShiftDr, nullptr, false).status, 0);
    }

    std::unique_ptr<quorbit::Simulator> simulator;
};

TEST_F(RunningSimulator, ClientOpensAttachesEnablesPinsAndReadsTheIdcodes) {
    ScriptedClient client(simulator->udpPort());
    ASSERT_TRUE(client.open());
    EXPECT_EQ(client.packetLength(), 1024);
    EXPECT_EQ(client.attach().status, 0);
    EXPECT_EQ(client.command("JTAG.PIN ENABLE").status, 0);
    resetToShiftDr(client);
    const Bytes ones(9, 0xFF);
    const simtest::Reply reply = client.rawShift(8, 65, nullptr, &ones, true);
    ASSERT_TRUE(reply.received);
    EXPECT_EQ(reply.status, 0);
    ASSERT_EQ(reply.data.size(), 9u);
    EXPECT_EQ(simtest::valueOf(reply.data, 1, 32), 0x27A31EFFu);
    EXPECT_EQ(simtest::valueOf(reply.data, 33, 32), 0x151C0EFFu);
    EXPECT_EQ(client.release().status, 0);

    EXPECT_TRUE(simulator->linkConnected());
    EXPECT_TRUE(simulator->attached());
    EXPECT_TRUE(simulator->pinsEnabled());
    EXPECT_FALSE(simulator->tapAccessOpen());
    EXPECT_EQ(simulator->tapState(), quorbit::TapState::Exit1Dr);
    EXPECT_EQ(simulator->tapState(2), quorbit::TapState::Exit1Dr);
    EXPECT_EQ(simulator->commands(), std::vector<std::string>{"JTAG.PIN ENABLE"});
    const auto shifts = simulator->rawShifts();
    ASSERT_EQ(shifts.size(), 3u);
    EXPECT_EQ(shifts[0].tms, Bytes{0xFF});
    EXPECT_EQ(shifts[2].tdoBytes, 9u);
    const quorbit::SimCounters counters = simulator->counters();
    EXPECT_EQ(counters.requests, 6u);
    EXPECT_EQ(counters.connects, 1u);
    EXPECT_EQ(counters.syncs, 1u);
}

TEST_F(RunningSimulator, LongShiftTravelsInFragmentsWithFlowTokensAndMatchesALocalChain) {
    ScriptedClient client(simulator->udpPort());
    ASSERT_TRUE(client.open());
    ASSERT_EQ(client.attach().status, 0);
    ASSERT_EQ(client.command("JTAG.PIN ENABLE").status, 0);
    resetToShiftDr(client);
    std::mt19937 random(5);
    Bytes tdi(7676);  // 61408 bits: the most one raw shift with TDI and TDO carries
    for (auto& byte : tdi) byte = static_cast<std::uint8_t>(random());
    const simtest::Reply reply = client.rawShift(8, 61408, nullptr, &tdi, true);
    ASSERT_TRUE(reply.received);
    ASSERT_EQ(reply.status, 0);

    quorbit::VirtualChain local(quorbit::defaultDemoChain());
    simtest::ChainDriver driver(local);
    driver.resetToIdle();
    driver.tms({1, 0, 0});
    Bytes expected(tdi.size(), 0);
    local.shift(61408, nullptr, tdi.data(), expected.data(), true);
    EXPECT_EQ(reply.data, expected);

    EXPECT_GT(client.tokensWaitedFor(), 0u);
    EXPECT_EQ(client.tokensSkipped(), 0u) << "no token beyond the ones the client waits for";
    EXPECT_EQ(simulator->counters().flowTokensSent, client.tokensWaitedFor());
    EXPECT_EQ(client.replyFragments(), 2u + 2u + 8u) << "attach, command, two moves, the shift";
}

TEST_F(RunningSimulator, ResetInspectionClearsCountersAndRecords) {
    ScriptedClient client(simulator->udpPort());
    ASSERT_TRUE(client.open());
    ASSERT_EQ(client.attach().status, 0);
    ASSERT_EQ(client.command("JTAG.PIN ENABLE").status, 0);
    simulator->resetInspection();
    EXPECT_EQ(simulator->counters().requests, 0u);
    EXPECT_TRUE(simulator->commands().empty());
    EXPECT_TRUE(simulator->pinsEnabled()) << "the session itself is not touched";
}

TEST_F(RunningSimulator, MalformedDatagramIsRefusedAndTheLinkGoesOn) {
    ScriptedClient client(simulator->udpPort());
    ASSERT_TRUE(client.open());
    ASSERT_TRUE(client.sendDatagram({0x42, 0x42, 0x42, 0x42, 0x42}));
    ASSERT_TRUE(client.sendDatagram(Bytes(1900, 0x11)));
    EXPECT_EQ(client.attach().status, 0);  // answered after the garbage was handled
    EXPECT_EQ(simulator->counters().malformedDatagrams, 2u);
    EXPECT_FALSE(simulator->recentLog().empty());
}

TEST(SimulatorOptions, PacketLength1472IsTheAcceptsLength) {
    quorbit::SimOptions options;
    options.packetLength = 1472;
    quorbit::Simulator simulator(options);
    std::string error;
    ASSERT_TRUE(simulator.start(error)) << error;
    ScriptedClient client(simulator.udpPort(), 1472);
    ASSERT_TRUE(client.open());
    EXPECT_EQ(client.packetLength(), 1472);
    EXPECT_EQ(client.attach().status, 0);
}

TEST(SimulatorOptions, LogSinkHearsRefusalsOnTheEmulatorsThread) {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> refusals;
    quorbit::SimOptions options;
    options.logSink = [&](quorbit::LogKind kind, const std::string& line) {
        if (kind != quorbit::LogKind::Refusal) return;
        std::lock_guard<std::mutex> lock(mutex);
        refusals.push_back(line);
        changed.notify_all();
    };
    quorbit::Simulator simulator(options);
    std::string error;
    ASSERT_TRUE(simulator.start(error)) << error;
    ScriptedClient client(simulator.udpPort());
    ASSERT_TRUE(client.sendDatagram({0x11, 0, 1, 0}));  // data without a link
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return !refusals.empty(); }));
    EXPECT_NE(refusals[0].find("without a link"), std::string::npos) << refusals[0];
}

TEST(SimulatorOptions, StopReturnsWhileAReplyIsHeldBackForAnHour) {
    quorbit::SimOptions options;
    std::string error;
    ASSERT_TRUE(quorbit::parseFaultList("delay-reply=3600s", options.faults, error)) << error;
    quorbit::Simulator simulator(options);
    ASSERT_TRUE(simulator.start(error)) << error;
    ScriptedClient client(simulator.udpPort());
    ASSERT_TRUE(client.open());
    ASSERT_TRUE(client.sendMessage(client.requests.attach()));
    simulator.stop();
    EXPECT_FALSE(simulator.running());
    simulator.stop();  // idempotent
}

struct BadOptions {
    const char* name;
    quorbit::SimOptions options;
    const char* error;
};

quorbit::SimOptions badOptions(int packetLength, const char* bind, int rbbPort, bool emptyChain) {
    quorbit::SimOptions options;
    options.packetLength = packetLength;
    options.bindAddress = bind;
    options.rbbPort = rbbPort;
    if (emptyChain) options.chain.devices.clear();
    return options;
}

class StartRefusalTest : public ::testing::TestWithParam<BadOptions> {};

TEST_P(StartRefusalTest, StartFailsWithAReasonAndNothingRuns) {
    quorbit::Simulator simulator(GetParam().options);
    std::string error;
    EXPECT_FALSE(simulator.start(error));
    EXPECT_EQ(error, GetParam().error);
    EXPECT_FALSE(simulator.running());
    EXPECT_EQ(simulator.udpPort(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, StartRefusalTest,
    ::testing::Values(BadOptions{"PacketLengthTooSmall", badOptions(15, "127.0.0.1", -1, false),
                                 "packet length 15 out of range 16..1472"},
                      BadOptions{"PacketLengthTooLarge", badOptions(1473, "127.0.0.1", -1, false),
                                 "packet length 1473 out of range 16..1472"},
                      BadOptions{"BindAddressNotIpv4", badOptions(1024, "localhost", -1, false),
                                 "bind address 'localhost' is not a dotted IPv4 address"},
                      BadOptions{"RbbPortOutOfRange", badOptions(1024, "127.0.0.1", 70000, false),
                                 "remote_bitbang port 70000 out of range"},
                      BadOptions{"EmptyChain", badOptions(1024, "127.0.0.1", -1, true),
                                 "chain: no devices"}),
    [](const ::testing::TestParamInfo<BadOptions>& info) { return info.param.name; });

TEST(SimulatorOptions, PortInUseIsReported) {
    quorbit::Simulator first({});
    std::string error;
    ASSERT_TRUE(first.start(error)) << error;
    quorbit::SimOptions options;
    options.port = first.udpPort();
    quorbit::Simulator second(options);
    EXPECT_FALSE(second.start(error));
    EXPECT_EQ(error.rfind("cannot bind UDP 127.0.0.1:" + std::to_string(first.udpPort()), 0), 0u)
        << error;
}

}  // namespace
