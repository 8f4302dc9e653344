// SPDX-License-Identifier: Apache-2.0
// OpenOCD through "cse-host serve" (the plug-in in front of quorbit-sim) and OpenOCD directly on
// quorbit-sim's remote_bitbang port, on the same chains: the same auto-probed TAPs and the same
// irscan/drscan results. Then what a bridge meets: clients one after the other, a client gone in
// the middle of a scan, one that sends garbage, and an interrupt while a client is connected.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sim/QuorbitSim.h"
#include "support/BackgroundProgram.h"
#include "support/ChainListings.h"
#include "support/CommandRun.h"
#include "support/SvfText.h"

namespace {

using systemtest::ListedDevice;

constexpr int kTimeLimitSeconds = 120;

// 1 to 20 made-up devices: IR lengths 2..9, most with an IDCODE, some with a user register at
// opcode 2, now and then a wide one.
quorbit::ChainDescription randomChain(unsigned seed) {
    std::mt19937 random(seed);
    quorbit::ChainDescription chain;
    const unsigned count = 1 + random() % 20;
    for (unsigned i = 0; i < count; ++i) {
        quorbit::DeviceDescription device;
        device.name = "rnd" + std::to_string(i);
        device.irLength = 2 + random() % 8;
        if (random() % 4 != 0) {
            device.idcode = ((random() % 16) << 28) | ((random() % 0xFFFF) << 12) | 0xEFFu;
            device.idcodeOpcode = 1;
        }
        if (random() % 3 == 0)
            device.userRegisters[2] = std::vector<unsigned>{1, 7, 32, 100, 3000}[random() % 5];
        chain.devices.push_back(device);
    }
    return chain;
}

quorbit::ChainDescription namedChain(const std::string& file) {
    quorbit::ChainDescription chain = quorbit::defaultDemoChain();
    std::string error;
    if (!file.empty()) {
        EXPECT_TRUE(quorbit::parseChainFile(KRV_SIM_CHAINS "/" + file, chain, error)) << error;
    }
    return chain;
}

std::string randomHex(std::mt19937& random, unsigned bits) {
    std::string text = "0x";
    for (unsigned digit = 0; digit < (bits + 3) / 4; ++digit) {
        const unsigned top = digit == 0 && bits % 4 != 0 ? (1u << (bits % 4)) : 16u;
        text += "0123456789abcdef"[random() % top];
    }
    return text;
}

// The TAPs declared from the TDO end; each user register written with a value and read back.
std::vector<std::string> openOcdScans(const std::string& openocd, int rbbPort,
                                      const quorbit::ChainDescription& chain, unsigned seed) {
    std::vector<std::string> args = systemtest::openOcdOverRemoteBitbang(openocd, rbbPort);
    for (std::size_t d = chain.devices.size(); d-- > 0;) {
        args.insert(args.end(), {"-c", "jtag newtap d" + std::to_string(d) + " tap -irlen " +
                                           std::to_string(chain.devices[d].irLength)});
    }
    args.insert(args.end(), {"-c", "init"});
    std::mt19937 random(seed);
    for (std::size_t d = 0; d < chain.devices.size(); ++d) {
        const std::string tap = "d" + std::to_string(d) + ".tap";
        for (const auto& [opcode, width] : chain.devices[d].userRegisters) {
            const std::string scan = "drscan " + tap + " " + std::to_string(width) + " ";
            args.insert(args.end(),
                        {"-c", "irscan " + tap + " " + std::to_string(opcode), "-c",
                         "echo \"RESULT " + tap + " [" + scan + randomHex(random, width) + "]\"",
                         "-c", "echo \"RESULT " + tap + " [" + scan + "0]\""});
        }
    }
    args.insert(args.end(), {"-c", "shutdown"});
    return args;
}

std::vector<std::string> openOcdProbe(const std::string& openocd, int rbbPort) {
    std::vector<std::string> args = systemtest::openOcdOverRemoteBitbang(openocd, rbbPort);
    args.insert(args.end(), {"-c", "init", "-c", "shutdown"});
    return args;
}

std::string resultLines(const std::string& output) {
    std::string lines;
    for (std::size_t at = output.find("RESULT "); at != std::string::npos;
         at = output.find("RESULT ", at + 1)) {
        lines += output.substr(at, output.find('\n', at) - at) + "\n";
    }
    return lines;
}

std::string openOcd() {
    return systemtest::findOnPath("openocd");
}

struct ChainRow {
    const char* name;
    const char* file;  // "" with seed 0: the demo chain
    unsigned seed;     // not 0: a random chain
};

void PrintTo(const ChainRow& row, std::ostream* out) {
    *out << row.name;
}

class BridgeAgreementTest : public testing::TestWithParam<ChainRow> {};

TEST_P(BridgeAgreementTest, SameTapsAndScansAsOpenOcdDirectly) {
    if (openOcd().empty()) GTEST_SKIP() << "openocd is not installed";
    const quorbit::ChainDescription chain =
        GetParam().seed != 0 ? randomChain(GetParam().seed) : namedChain(GetParam().file);
    std::string error;
    ASSERT_TRUE(quorbit::validateChain(chain, error)) << error;
    quorbit::SimOptions options;
    options.chain = chain;
    options.rbbPort = 0;
    quorbit::Simulator direct(options), behind(options);
    ASSERT_TRUE(direct.start(error)) << error;
    ASSERT_TRUE(behind.start(error)) << error;
    systemtest::BridgeProgram bridge(KRV_CSE_HOST, behind.udpPort());
    ASSERT_NE(bridge.port, 0) << bridge.program.output();

    std::vector<ListedDevice> expected;
    for (const auto& device : chain.devices) expected.push_back({device.idcode, device.irLength});
    for (const int port : {direct.rbbPort(), bridge.port}) {
        const auto probe = systemtest::runCommand(openOcdProbe(openOcd(), port), kTimeLimitSeconds);
        EXPECT_EQ(systemtest::devicesFromOpenOcdProbe(probe.output), expected) << probe.output;
    }
    const auto scansDirect = systemtest::runCommand(
        openOcdScans(openOcd(), direct.rbbPort(), chain, GetParam().seed), kTimeLimitSeconds);
    const auto scansBridged = systemtest::runCommand(
        openOcdScans(openOcd(), bridge.port, chain, GetParam().seed), kTimeLimitSeconds);
    std::size_t registers = 0;
    for (const auto& device : chain.devices) registers += device.userRegisters.size();
    EXPECT_EQ(!resultLines(scansDirect.output).empty(), registers > 0)
        << scansDirect.output.substr(0, 3000);
    EXPECT_EQ(resultLines(scansBridged.output), resultLines(scansDirect.output))
        << scansBridged.output.substr(0, 3000);
    EXPECT_EQ(scansDirect.output.find("errno"), std::string::npos)
        << scansDirect.output.substr(0, 3000);
    bridge.program.signal(SIGTERM);
    EXPECT_EQ(bridge.program.wait(kTimeLimitSeconds), 143) << bridge.program.output();
    EXPECT_EQ(direct.counters().rbbClocks > 0, true);
}

INSTANTIATE_TEST_SUITE_P(Chains, BridgeAgreementTest,
                         testing::Values(ChainRow{"Demo", "", 0},
                                         ChainRow{"Long20", "long20.chain", 0},
                                         ChainRow{"Random1", "", 1}, ChainRow{"Random2", "", 2},
                                         ChainRow{"Random3", "", 3}, ChainRow{"Random4", "", 4}),
                         [](const testing::TestParamInfo<ChainRow>& info) {
                             return info.param.name;
                         });

// Waits (yielding) until `done` holds or the time limit passes.
template <typename Condition>
bool waitFor(Condition done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kTimeLimitSeconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// A raw client of the bridge's port.
struct RawClient {
    explicit RawClient(int port) : fd(::socket(AF_INET, SOCK_STREAM, 0)) {
        const int yes = 1;  // each ask goes at once, as OpenOCD's writes do
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~RawClient() { ::close(fd); }
    std::string ask(const std::string& text, std::size_t answers) const {
        (void)!::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        std::string got;
        char c;
        while (got.size() < answers && ::recv(fd, &c, 1, 0) == 1) got += c;
        return got;
    }
    // Gone as a killed process goes: the connection reset, whatever was under way.
    void abort() {
        const linger reset = {1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(fd);
        fd = -1;
    }
    int fd;
};

TEST(BridgeServingTest, KilledClientGarbageTwoSessionsAndAnInterrupt) {
    if (openOcd().empty()) GTEST_SKIP() << "openocd is not installed";
    quorbit::SimOptions options;
    quorbit::Simulator simulator(options);
    std::string error;
    ASSERT_TRUE(simulator.start(error)) << error;
    systemtest::BridgeProgram bridge(KRV_CSE_HOST, simulator.udpPort());
    ASSERT_NE(bridge.port, 0) << bridge.program.output();
    std::vector<ListedDevice> demo;
    for (const auto& device : options.chain.devices)
        demo.push_back({device.idcode, device.irLength});

    {  // Into Shift-DR and two bits of a scan, then gone.
        RawClient killed(bridge.port);
        EXPECT_EQ(killed.ask("2604262404040R40R4", 2).size(), 2u);
        (void)killed.ask("0R40R40", 0);
        killed.abort();
    }
    EXPECT_NE(bridge.program.waitForLine(" disconnected", kTimeLimitSeconds), "");
    {
        RawClient garbage(bridge.port);
        EXPECT_EQ(garbage.ask("0R4?", 2), "1");
    }
    EXPECT_NE(bridge.program.waitForLine("byte 0x3F is not a command", kTimeLimitSeconds), "");
    EXPECT_NE(bridge.program.waitForLine(" closed", kTimeLimitSeconds), "");
    for (int session = 0; session < 2; ++session) {
        const auto probe =
            systemtest::runCommand(openOcdProbe(openOcd(), bridge.port), kTimeLimitSeconds);
        EXPECT_EQ(systemtest::devicesFromOpenOcdProbe(probe.output), demo) << probe.output;
        EXPECT_NE(bridge.program.waitForLine(" quit", kTimeLimitSeconds), "");
    }
    RawClient connected(bridge.port);
    EXPECT_EQ(connected.ask("0R4", 1), "1");
    EXPECT_TRUE(simulator.linkConnected());
    // 10 MB of clocks, more than the bridge reads ahead: the interrupt ends it all the same,
    // once the bridge is at work on them, without carrying the backlog out.
    const uint64_t before = simulator.counters().requests;
    std::atomic<bool> sent{false};
    std::thread sending([&] {
        std::string pairs(10 << 20, '4');  // TCK low and high: "04" repeated
        for (std::size_t i = 0; i < pairs.size(); i += 2) pairs[i] = '0';
        (void)!::send(connected.fd, pairs.data(), pairs.size(), MSG_NOSIGNAL);
        sent.store(true);
    });
    ASSERT_TRUE(waitFor([&] { return sent.load() && simulator.counters().requests > before + 3; }));
    const auto signalled = std::chrono::steady_clock::now();
    bridge.program.signal(SIGINT);
    EXPECT_EQ(bridge.program.wait(kTimeLimitSeconds), 130) << bridge.program.output();
    std::printf("SIGINT took %lld ms with 10 MB sent\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - signalled)
                                           .count()));
    sending.join();
    EXPECT_EQ(connected.ask("0R4", 1), "") << "the client was closed";
    EXPECT_NE(bridge.program.output().find("closed: the bridge is stopping"), std::string::npos);
    // The disconnect notices get no answer: cse-host may exit before the emulator's thread has
    // read them (this failed once under load when the link was checked at once).
    EXPECT_TRUE(simulator.waitForLogLine("disconnect from", std::chrono::seconds(kTimeLimitSeconds)));
    EXPECT_FALSE(simulator.linkConnected());
    EXPECT_FALSE(simulator.tapAccessOpen());
    EXPECT_EQ(simulator.counters().disconnects, 1u);
}

// Closing fails (the front end refuses the release): the exit message says so instead of
// claiming a released TAP.
TEST(BridgeServingTest, AnInterruptSaysWhatClosingDid) {
    quorbit::SimOptions options;
    options.faults.releaseFails = true;
    quorbit::Simulator simulator(options);
    std::string error;
    ASSERT_TRUE(simulator.start(error)) << error;
    systemtest::BridgeProgram bridge(KRV_CSE_HOST, simulator.udpPort());
    ASSERT_NE(bridge.port, 0) << bridge.program.output();
    bridge.program.signal(SIGTERM);
    EXPECT_EQ(bridge.program.wait(kTimeLimitSeconds), 143) << bridge.program.output();
    EXPECT_NE(bridge.program.output().find("releasing the TAP and closing the link failed"),
              std::string::npos)
        << bridge.program.output();
    EXPECT_EQ(bridge.program.output().find("the TAP was released"), std::string::npos);
}

// An XSVF file (the public binary form: one command byte, then its operands, bit vectors written
// most significant byte first) and the SVF that says the same.
struct XsvfRow {
    const char* name;
    std::vector<uint8_t> xsvf;
    std::string svf;
    bool passes;
};

std::vector<uint8_t> bytesOf(uint64_t value, unsigned bits) {
    std::vector<uint8_t> bytes((bits + 7) / 8);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[bytes.size() - 1 - i] = i < 8 ? uint8_t(value >> (8 * i)) : 0;  // wider: zeros
    return bytes;
}

std::vector<XsvfRow> xsvfRows() {
    enum : uint8_t {
        kComplete = 0,
        kTdoMask = 1,
        kSir = 2,
        kSdr = 3,
        kRepeat = 7,
        kSdrSize = 8,
        kSdrTdo = 9,
        kState = 0x12
    };
    const auto file = [](std::initializer_list<std::vector<uint8_t>> parts) {
        std::vector<uint8_t> bytes = {kRepeat, 0, kState, 0, kState, 1};
        for (const auto& part : parts) bytes.insert(bytes.end(), part.begin(), part.end());
        bytes.push_back(kComplete);
        return bytes;
    };
    const auto with = [](uint8_t command, std::initializer_list<std::vector<uint8_t>> operands) {
        std::vector<uint8_t> bytes = {command};
        for (const auto& operand : operands)
            bytes.insert(bytes.end(), operand.begin(), operand.end());
        return bytes;
    };
    // The demo chain after a reset: the BYPASS bit at TDO, then two IDCODEs (65 bits, the top 0).
    const uint64_t idcodes = (uint64_t{0x151C0EFF} << 33) | (uint64_t{0x27A31EFF} << 1);
    const auto readIdcodes = [&](uint64_t expected) {
        return file({with(kSdrSize, {bytesOf(65, 32)}),
                     with(kTdoMask, {{1}, bytesOf(~uint64_t{0}, 64)}),
                     with(kSdrTdo, {bytesOf(0, 65), {0}, bytesOf(expected, 64)})});
    };
    // talpa's 24-bit register at 0x22 written and read back through the two BYPASS bits.
    const uint64_t written = 0x2ABCDEF, mask = 0x1FFFFFE;
    const auto userRegister = [&](uint64_t expected) {
        return file({with(kSir, {{18}, bytesOf(0x3F22F, 18)}), with(kSdrSize, {bytesOf(26, 32)}),
                     with(kTdoMask, {bytesOf(0, 26)}), with(kSdr, {bytesOf(written, 26)}),
                     with(kTdoMask, {bytesOf(mask, 26)}),
                     with(kSdrTdo, {bytesOf(0, 26), bytesOf(expected, 26)})});
    };
    const std::string prologue = "STATE RESET;\nSTATE IDLE;\nENDIR IDLE;\nENDDR IDLE;\n";
    const std::string sdr26 = "SIR 18 TDI(3F22F);\nSDR 26 TDI(2ABCDEF);\nSDR 26 TDI(0) TDO(";
    return {
        {"Idcodes", readIdcodes(idcodes),
         prologue + "SDR 65 TDI(0) TDO(02A381DFE4F463DFE) MASK(1FFFFFFFFFFFFFFFF);\n", true},
        {"IdcodesWrong", readIdcodes(idcodes ^ 4),
         prologue + "SDR 65 TDI(0) TDO(02A381DFE4F463DFA) MASK(1FFFFFFFFFFFFFFFF);\n", false},
        {"UserRegister", userRegister(written & mask),
         prologue + sdr26 + "0ABCDEE) MASK(1FFFFFE);\n", true},
        {"UserRegisterWrong", userRegister((written & mask) ^ 0x100),
         prologue + sdr26 + "0ABCCEE) MASK(1FFFFFE);\n", false},
    };
}

void PrintTo(const XsvfRow& row, std::ostream* out) {
    *out << row.name;
}

class BridgeXsvfTest : public testing::TestWithParam<XsvfRow> {};

TEST_P(BridgeXsvfTest, XsvfThroughTheBridgeAsTheSameSvf) {
    if (openOcd().empty()) GTEST_SKIP() << "openocd is not installed";
    quorbit::SimOptions options;
    quorbit::Simulator simulator(options);
    std::string error;
    ASSERT_TRUE(simulator.start(error)) << error;
    const std::string base = "/tmp/bridge_xsvf_" + std::to_string(::getpid()) + GetParam().name;
    std::ofstream(base + ".xsvf", std::ios::binary)
        .write(reinterpret_cast<const char*>(GetParam().xsvf.data()),
               std::streamsize(GetParam().xsvf.size()));
    std::ofstream(base + ".svf") << GetParam().svf;
    systemtest::BridgeProgram bridge(KRV_CSE_HOST, simulator.udpPort());
    const auto run = [&](const std::string& command) {
        std::vector<std::string> args =
            systemtest::openOcdOverRemoteBitbang(openOcd(), bridge.port);
        args.insert(args.end(),
                    {"-c", "jtag newtap d2 tap -irlen 4", "-c", "jtag newtap d1 tap -irlen 8", "-c",
                     "jtag newtap d0 tap -irlen 6", "-c", "init", "-c", command, "-c", "shutdown"});
        return systemtest::runCommand(args, kTimeLimitSeconds).output;
    };
    const std::string xsvf = run("xsvf plain " + base + ".xsvf");
    const std::string svf = run("svf -quiet " + base + ".svf");
    std::remove((base + ".xsvf").c_str());
    std::remove((base + ".svf").c_str());
    EXPECT_EQ(xsvf.find("XSVF file programmed successfully") != std::string::npos,
              GetParam().passes)
        << xsvf;
    EXPECT_EQ(svf.find("svf file programmed successfully") != std::string::npos, GetParam().passes)
        << svf;
    bridge.program.signal(SIGTERM);
    EXPECT_EQ(bridge.program.wait(kTimeLimitSeconds), 143) << bridge.program.output();
}

INSTANTIATE_TEST_SUITE_P(Files, BridgeXsvfTest, testing::ValuesIn(xsvfRows()),
                         [](const testing::TestParamInfo<XsvfRow>& info) {
                             return info.param.name;
                         });

// ---- Failures, outages and stops -------------------------------------------------------------

// `scans` SDRs of 200,000 random bits through the demo chain's three BYPASS bits, TDO checked.
std::string writeBypassSvf(const std::string& path, unsigned scans) {
    std::ofstream out(path);
    out << "TRST OFF;\nENDIR IDLE;\nENDDR IDLE;\nSTATE RESET;\nSTATE IDLE;\n";
    for (unsigned scan = 0; scan < scans; ++scan) out << systemtest::bypassScan(scan + 1, false);
    return path;
}

std::vector<std::string> openOcdSvf(int rbbPort, const std::string& file) {
    std::vector<std::string> args = systemtest::openOcdOverRemoteBitbang(openOcd(), rbbPort);
    args.insert(args.end(), {"-c", "jtag newtap d2 tap -irlen 4", "-c", "jtag newtap d1 tap -irlen 8",
                             "-c", "jtag newtap d0 tap -irlen 6", "-c", "init", "-c",
                             "svf -quiet " + file, "-c", "shutdown"});
    return args;
}

struct OutageRow {
    const char* name;
    bool restartAtOnce;  // a new front end on the same port while OpenOCD still runs
};

void PrintTo(const OutageRow& row, std::ostream* out) {
    *out << row.name;
}

class BridgeOutageTest : public testing::TestWithParam<OutageRow> {};

// The front end goes away in the middle of an SVF file: OpenOCD ends it with an error (not its
// assertion, exit 134); once a front end answers on the port again the next run passes.
TEST_P(BridgeOutageTest, OpenOcdFailsCleanlyAndTheNextRunPasses) {
    if (openOcd().empty()) GTEST_SKIP() << "openocd is not installed";
    quorbit::SimOptions options;
    auto front = std::make_unique<quorbit::Simulator>(options);
    std::string error;
    ASSERT_TRUE(front->start(error)) << error;
    options.port = front->udpPort();
    systemtest::BridgeProgram bridge(KRV_CSE_HOST, options.port, {"--timeout", "1"});
    ASSERT_NE(bridge.port, 0) << bridge.program.output();
    const std::string base = "/tmp/bridge_outage_" + std::to_string(::getpid()) + GetParam().name;
    systemtest::BackgroundProgram openocd(openOcdSvf(bridge.port, writeBypassSvf(base + ".svf", 10)));
    ASSERT_TRUE(waitFor([&] { return front->counters().requests > 100; }));
    front.reset();  // gone, as a killed process goes
    const auto startAgain = [&] {
        front = std::make_unique<quorbit::Simulator>(options);
        ASSERT_TRUE(front->start(error)) << error;
    };
    if (GetParam().restartAtOnce) startAgain();
    EXPECT_EQ(openocd.wait(kTimeLimitSeconds), 1) << openocd.output();
    EXPECT_NE(openocd.output().find("invalid read response"), std::string::npos)
        << openocd.output();
    EXPECT_NE(bridge.program.waitForLine("its reads are answered with an error", kTimeLimitSeconds),
              "");
    if (!GetParam().restartAtOnce) startAgain();
    const auto next = systemtest::runCommand(openOcdSvf(bridge.port, writeBypassSvf(base + "1.svf", 1)),
                                             kTimeLimitSeconds);
    std::remove((base + ".svf").c_str());
    std::remove((base + "1.svf").c_str());
    EXPECT_NE(next.output.find("svf file programmed successfully"), std::string::npos)
        << next.output << bridge.program.output();
    EXPECT_NE(bridge.program.waitForLine("the cable works again", kTimeLimitSeconds), "");
    bridge.program.signal(SIGTERM);
    EXPECT_EQ(bridge.program.wait(kTimeLimitSeconds), 143) << bridge.program.output();
}

INSTANTIATE_TEST_SUITE_P(FrontEnds, BridgeOutageTest,
                         testing::Values(OutageRow{"KilledThenStartedAgain", false},
                                         OutageRow{"RestartedAtOnce", true}),
                         [](const testing::TestParamInfo<OutageRow>& info) {
                             return info.param.name;
                         });

// Another client that connects while the bridge holds the link is refused; once the bridge has
// been silent for the lease it takes the link, and the bridge's clients get errors (one attempt
// to recover each) until the other has gone; then the next passes.
TEST(BridgeServingTest, ASecondClientIsRefusedAndALinkTakenIsRecoveredWhenFree) {
    if (openOcd().empty()) GTEST_SKIP() << "openocd is not installed";
    quorbit::SimOptions options;
    options.linkLeaseSeconds = 3;  // long enough for a second client to start within it
    quorbit::Simulator simulator(options);
    std::string error;
    ASSERT_TRUE(simulator.start(error)) << error;
    systemtest::BridgeProgram bridge(KRV_CSE_HOST, simulator.udpPort());
    ASSERT_NE(bridge.port, 0) << bridge.program.output();
    std::unique_ptr<systemtest::BridgeProgram> other;
    bool refusedOnce = false;
    ASSERT_TRUE(waitFor([&] {
        other = std::make_unique<systemtest::BridgeProgram>(KRV_CSE_HOST, simulator.udpPort());
        if (other->port != 0) return true;
        refusedOnce = refusedOnce || other->program.output().find("cannot open the target") !=
                                         std::string::npos;
        return false;
    }));
    EXPECT_TRUE(refusedOnce) << "the second client was let in while the first was heard from";
    // The other client keeps talking, so the link stays its own.
    std::atomic<bool> busy{true};
    std::thread talking([&] {
        RawClient client(other->port);
        while (busy.load()) client.ask("0R4", 1);
    });
    const auto probe = [&] {
        return systemtest::runCommand(openOcdProbe(openOcd(), bridge.port), kTimeLimitSeconds);
    };
    for (const char* note : {"the cable is not available", "gets an error on its first read"}) {
        // OpenOCD's init goes on after a failed scan (exit 0); it must not abort (-1 here, 134).
        const auto refused = probe();
        EXPECT_TRUE(refused.exitCode == 0 || refused.exitCode == 1) << refused.output;
        EXPECT_NE(refused.output.find("invalid read response"), std::string::npos) << refused.output;
        EXPECT_NE(bridge.program.waitForLine(note, kTimeLimitSeconds), "") << note;
    }
    busy.store(false);
    talking.join();
    other->program.signal(SIGTERM);
    EXPECT_EQ(other->program.wait(kTimeLimitSeconds), 143) << other->program.output();
    EXPECT_TRUE(simulator.waitForLogLine("disconnect from", std::chrono::seconds(kTimeLimitSeconds)));
    const auto passes = probe();
    EXPECT_EQ(passes.exitCode, 0) << passes.output;
    EXPECT_EQ(systemtest::devicesFromOpenOcdProbe(passes.output).size(), 3u) << passes.output;
    EXPECT_NE(bridge.program.waitForLine("the cable works again", kTimeLimitSeconds), "");
    bridge.program.signal(SIGTERM);
    EXPECT_EQ(bridge.program.wait(kTimeLimitSeconds), 143) << bridge.program.output();
}

}  // namespace
