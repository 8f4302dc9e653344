// SPDX-License-Identifier: Apache-2.0
// The session library as a front end uses it: open against the embedded emulator, the device list,
// scans and navigation, and each failure with its kind and reason.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "session/CableSession.h"
#include "sim/QuorbitSim.h"

namespace {

using CsePluginInterface::CseJtagTapState;
using csesession::CableSession;
using csesession::ErrorKind;
using csesession::Register;
using csesession::SessionError;
using csesession::SessionOptions;

SessionOptions embeddedOptions(const std::string& chainText = "") {
    SessionOptions options;
    options.libraryPath = KRV_PLUGIN_PATH;
    if (!chainText.empty()) {
        char path[] = "/tmp/session_test_chain_XXXXXX";
        const int fd = mkstemp(path);
        if (fd >= 0) ::close(fd);
        std::ofstream(path) << chainText;
        options.simChain = path;
    }
    return options;
}

// The error a call throws, or none.
template <typename Call>
std::optional<SessionError> errorOf(Call call) {
    try {
        call();
    } catch (const SessionError& error) {
        return error;
    }
    return std::nullopt;
}

TEST(CableSession, OpensTheDemoChainWithDerivedIrLengths) {
    std::vector<std::string> logged;
    SessionOptions options = embeddedOptions();
    options.verbosity = 3;
    options.log = [&logged](int level, const std::string& line) {
        EXPECT_LE(level, 3);
        logged.push_back(line);
    };
    CableSession session(options);
    ASSERT_EQ(session.devices().size(), 3u);
    const uint32_t lengths[] = {6, 8, 4};
    for (const auto& device : session.devices()) {
        EXPECT_EQ(device.irLength, lengths[device.index]);
        EXPECT_EQ(device.openocdPosition, 2 - device.index);
    }
    EXPECT_EQ(session.devices()[0].idcode, 0x151C0EFFu);
    EXPECT_FALSE(session.devices()[2].idcode) << "nerid answers with a BYPASS bit";
    EXPECT_EQ(session.bypassDeviceCount(), 3u);
    EXPECT_EQ(session.scanProblem(), "");
    EXPECT_TRUE(session.embedded());
    EXPECT_EQ(session.frontEnd().rfind("127.0.0.1:", 0), 0u);
    EXPECT_EQ(session.readIdcode(1), 0x27A31EFFu);
    // BYPASS into the others, then talpa's 24-bit user register written and read back.
    (void)session.deviceScan(Register::kIr, 1, {0x22}, 8);
    (void)session.deviceScan(Register::kDr, 1, {0x56, 0x34, 0x12}, 24);
    EXPECT_EQ(session.deviceScan(Register::kDr, 1, {0, 0, 0}, 24),
              (std::vector<uint8_t>{0x56, 0x34, 0x12}));
    EXPECT_EQ(session.navigate(CsePluginInterface::CSEJTAG_PAUSE_DR),
              CsePluginInterface::CSEJTAG_PAUSE_DR);
    EXPECT_EQ(session.tapState(), CsePluginInterface::CSEJTAG_PAUSE_DR);
    session.close();
    EXPECT_NE(logged.size(), 0u) << "the plug-in's lines up to level 3 reach the sink";
}

// Each failure of an open session: its kind and the words that say why.
struct CallCase {
    const char* name;
    std::function<void(CableSession&)> call;
    ErrorKind kind;
    const char* reason;
};

class SessionCall : public ::testing::TestWithParam<CallCase> {};

TEST_P(SessionCall, FailsWithItsKindAndReason) {
    CableSession session(embeddedOptions());
    const auto error = errorOf([&] { GetParam().call(session); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), GetParam().kind) << error->what();
    EXPECT_NE(std::string(error->what()).find(GetParam().reason), std::string::npos)
        << error->what();
}

INSTANTIATE_TEST_SUITE_P(
    CableSession, SessionCall,
    ::testing::Values(
        CallCase{"NoIdcode", [](CableSession& s) { (void)s.readIdcode(2); }, ErrorKind::kFailed,
                 "device 2 has no IDCODE register"},
        CallCase{"OutOfRange", [](CableSession& s) { (void)s.readIdcode(3); }, ErrorKind::kUsage,
                 "device 3 is out of range: the chain has 3 devices (0..2)"},
        CallCase{"IrBits", [](CableSession& s) { (void)s.deviceScan(Register::kIr, 1, {0}, 7); },
                 ErrorKind::kUsage, "has an IR of 8 bits"},
        CallCase{"DrBeforeIr",
                 [](CableSession& s) {
                     (void)s.deviceScan(Register::kDr, 0, {0, 0, 0, 0}, 32);
                 },
                 ErrorKind::kUsage, "comes before any irscan"},
        CallCase{"ShortTdi", [](CableSession& s) { (void)s.deviceScan(Register::kIr, 1, {}, 8); },
                 ErrorKind::kUsage, "needs 1 bytes of TDI"},
        CallCase{"LongIrChain",
                 [](CableSession& s) {
                     std::vector<uint8_t> bits(20000);
                     s.chainScan(Register::kIr, bits.data(), nullptr, 122817);
                 },
                 ErrorKind::kUsage, "at most 122816 bits"},
        CallCase{"BadState",
                 [](CableSession& s) { (void)s.navigate(static_cast<CseJtagTapState>(16)); },
                 ErrorKind::kUsage, "no TAP state has the number 16"},
        CallCase{"SecondSession", [](CableSession&) { CableSession second(embeddedOptions()); },
                 ErrorKind::kUsage, "another session is open in this process"},
        CallCase{"Closed",
                 [](CableSession& s) {
                     s.close();
                     (void)s.readIdcode(0);
                 },
                 ErrorKind::kUsage, "the session is closed"}),
    [](const ::testing::TestParamInfo<CallCase>& info) { return std::string(info.param.name); });

// Options that cannot give a session.
struct OpenCase {
    const char* name;
    std::function<void(SessionOptions&)> change;
    ErrorKind kind;
    const char* reason;
};

class SessionOpen : public ::testing::TestWithParam<OpenCase> {};

TEST_P(SessionOpen, RefusesWithItsKindAndReason) {
    SessionOptions options = embeddedOptions();
    GetParam().change(options);
    const auto error = errorOf([&] { CableSession session(options); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), GetParam().kind) << error->what();
    EXPECT_NE(std::string(error->what()).find(GetParam().reason), std::string::npos)
        << error->what();
}

int silentUdpPort() {
    static const int silent = [] {
        const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        (void)::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        return fd;
    }();
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

INSTANTIATE_TEST_SUITE_P(
    CableSession, SessionOpen,
    ::testing::Values(
        OpenCase{"WrongLengthCount",
                 [](SessionOptions& o) {
                     o.irLengths = {6, 8};
                 },
                 ErrorKind::kUsage, "irLengths gives 2 lengths, but the chain has 3 devices"},
        OpenCase{"LengthsThatDoNotFit",
                 [](SessionOptions& o) {
                     o.irLengths = {6, 8, 5};
                 },
                 ErrorKind::kUsage, "add up to 19 bits, the IR path measures 18"},
        OpenCase{"NoLibrary", [](SessionOptions& o) { o.libraryPath = "/nonexistent/plugin.so"; },
                 ErrorKind::kFailed, "cannot load the plug-in"},
        OpenCase{"BadBoardFault", [](SessionOptions& o) { o.simBoardFaults = "open-after=9"; },
                 ErrorKind::kUsage, "the chain has 3 devices"},
        OpenCase{"TimeoutRange", [](SessionOptions& o) { o.timeoutSeconds = 0; }, ErrorKind::kUsage,
                 "1..3600 seconds"},
        OpenCase{"Ipv6Node",
                 [](SessionOptions& o) {
                     o.useFrontEnd = true;
                     o.node = "::1";
                 },
                 ErrorKind::kUsage, "the link is IPv4"},
        OpenCase{"TwoPorts",
                 [](SessionOptions& o) {
                     o.useFrontEnd = true;
                     o.node = "127.0.0.1:20001";
                     o.port = 20002;
                 },
                 ErrorKind::kUsage, "names port 20001, the port given is 20002"},
        OpenCase{"SilentFrontEnd",
                 [](SessionOptions& o) {
                     o.useFrontEnd = true;
                     o.node = "127.0.0.1";
                     o.port = static_cast<uint16_t>(silentUdpPort());
                 },
                 ErrorKind::kLink, "cannot open the target through the front end at 127.0.0.1:"}),
    [](const ::testing::TestParamInfo<OpenCase>& info) { return std::string(info.param.name); });

// A device whose IDCODE reads 0xFFFFFFFF ends the plug-in's IDCODE scan; the BYPASS count still
// sees all three, so no device-level answer is given from the short list.
TEST(CableSession, AnIdcodeScanShorterThanTheBypassCountIsNoDeviceList) {
    const SessionOptions options =
        embeddedOptions("a 4 0x1A2B3C4D 1\nb 4 0xFFFFFFFF 1\nc 4 0x2B3C4D5F 1\n");
    CableSession session(options);
    std::remove(options.simChain.c_str());
    EXPECT_EQ(session.bypassDeviceCount(), 3u);
    EXPECT_NE(session.scanProblem().find("found 1 device, but 3 devices answer in BYPASS"),
              std::string::npos)
        << session.scanProblem();
    const auto error = errorOf([&] { (void)session.readIdcode(0); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), ErrorKind::kFailed);
    EXPECT_NE(std::string(error->what()).find("diagnose"), std::string::npos);
}

// An open chain gives no BYPASS count; the one device the IDCODE scan saw is no device list.
TEST(CableSession, AnOpenChainLeavesNoTrustedDeviceList) {
    SessionOptions options = embeddedOptions();
    options.simBoardFaults = "open-after=1";
    CableSession session(options);
    EXPECT_FALSE(session.bypassDeviceCount().has_value());
    EXPECT_NE(session.scanProblem().find("gives no device count"), std::string::npos)
        << session.scanProblem();
    EXPECT_TRUE(errorOf([&] { (void)session.readIdcode(0); }).has_value());
}

struct NameCase {
    const char* typed;
    std::optional<CseJtagTapState> state;
};

class TapStateNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(TapStateNames, AreReadAsUsersTypeThem) {
    EXPECT_EQ(csesession::parseTapState(GetParam().typed), GetParam().state);
    if (GetParam().state) {
        EXPECT_EQ(csesession::parseTapState(csesession::tapStateName(*GetParam().state)),
                  GetParam().state)
            << "the printed name reads back";
    }
}

INSTANTIATE_TEST_SUITE_P(
    CableSession, TapStateNames,
    ::testing::Values(NameCase{"PAUSE_DR", CsePluginInterface::CSEJTAG_PAUSE_DR},
                      NameCase{"Pause-DR", CsePluginInterface::CSEJTAG_PAUSE_DR},
                      NameCase{"drpause", CsePluginInterface::CSEJTAG_PAUSE_DR},
                      NameCase{"RUN/IDLE", CsePluginInterface::CSEJTAG_RUN_TEST_IDLE},
                      NameCase{"CSEJTAG_UPDATE_IR", CsePluginInterface::CSEJTAG_UPDATE_IR},
                      NameCase{"PAUSE", std::nullopt}));

TEST(CableSession, PrintsStatesWithoutThePrefix) {
    EXPECT_EQ(csesession::tapStateName(CsePluginInterface::CSEJTAG_TEST_LOGIC_RESET),
              "TEST_LOGIC_RESET");
    EXPECT_EQ(csesession::tapStateName(CsePluginInterface::CSEJTAG_PAUSE_IR), "PAUSE_IR");
    EXPECT_EQ(csesession::tapStateName(static_cast<CseJtagTapState>(16)), "?");
}

// Long runs come in pieces through the progress callback, which can stop them between pieces.
TEST(CableSession, LongRunsReportProgressAndStopWhenAsked) {
    std::vector<uint64_t> reported;
    bool keepGoing = true;
    SessionOptions options = embeddedOptions();
    options.progress = [&](uint64_t done, uint64_t total) {
        EXPECT_LE(done, total);
        reported.push_back(done);
        return keepGoing;
    };
    CableSession session(options);
    const std::vector<uint8_t> ones(3, 0xFF);  // 18 IR bits of ones: BYPASS everywhere
    session.chainScan(Register::kIr, ones.data(), nullptr, 18);
    const uint32_t bits = csesession::kProgressBits + 1000;
    std::vector<uint8_t> tdi((bits + 7) / 8, 0xA5);
    std::vector<uint8_t> tdo(tdi.size(), 0);
    session.chainScan(Register::kDr, tdi.data(), tdo.data(), bits);
    ASSERT_GT(reported.size(), 1u);
    EXPECT_EQ(reported.back(), bits);
    // Three devices in BYPASS: the bits come out three later.
    EXPECT_EQ(tdo[1], static_cast<uint8_t>((0xA5A5 >> 5) & 0xFF));
    reported.clear();
    keepGoing = false;
    const auto error =
        errorOf([&] { session.chainScan(Register::kDr, tdi.data(), tdo.data(), bits); });
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), ErrorKind::kFailed);
    EXPECT_EQ(reported.size(), 1u) << "stopped after the first piece";
    reported.clear();
    keepGoing = true;
    EXPECT_EQ(session.navigate(CsePluginInterface::CSEJTAG_RUN_TEST_IDLE, bits),
              CsePluginInterface::CSEJTAG_RUN_TEST_IDLE);
    ASSERT_GT(reported.size(), 1u);
    EXPECT_EQ(reported.back(), bits) << "clocks in a stable state go in pieces too";
}

}  // namespace

namespace {

// quorbit-sim as a front end of its own, so that a test can restart it on the same port.
std::unique_ptr<quorbit::Simulator> startFrontEnd(uint16_t port) {
    quorbit::SimOptions sim;
    sim.port = port;
    auto simulator = std::make_unique<quorbit::Simulator>(sim);
    std::string error;
    EXPECT_TRUE(simulator->start(error)) << error;
    return simulator;
}

std::string reasonOf(const std::optional<SessionError>& error) {
    return error ? error->what() : "no error";
}

}  // namespace

// Broke: a failed call left the session believing its instructions loaded, so the device-level DR
// scans after it returned bits of the registers the plug-in's recovery reset had selected.
TEST(CableSession, AfterAFailedCallADeviceDrScanIsRefusedUntilAnIrScan) {
    std::unique_ptr<quorbit::Simulator> frontEnd = startFrontEnd(0);
    SessionOptions options = embeddedOptions();
    options.useFrontEnd = true;
    options.node = "127.0.0.1";
    options.port = frontEnd->udpPort();
    CableSession session(options);
    (void)session.deviceScan(Register::kIr, 1, {0x22}, 8);  // the 24-bit user register
    (void)session.deviceScan(Register::kDr, 1, {0xEE, 0xFF, 0xC0}, 24);

    frontEnd->stop();  // restarted: the plug-in connects again, resetting the TAP
    frontEnd = startFrontEnd(static_cast<uint16_t>(options.port));
    const std::optional<SessionError> byPlugin = errorOf([&] {
        (void)session.deviceScan(Register::kDr, 1, {0, 0, 0}, 24);
    });
    ASSERT_TRUE(byPlugin);
    EXPECT_EQ(byPlugin->kind(), ErrorKind::kFailed);
    EXPECT_NE(reasonOf(byPlugin).find("shift the instructions again"), std::string::npos)
        << reasonOf(byPlugin);
    EXPECT_TRUE(session.instructionsUnknown());

    const std::optional<SessionError> bySession = errorOf([&] {
        (void)session.deviceScan(Register::kDr, 1, {0, 0, 0}, 24);
    });
    ASSERT_TRUE(bySession);
    EXPECT_EQ(bySession->kind(), ErrorKind::kFailed);
    EXPECT_NE(reasonOf(bySession).find("after a failed call is refused"), std::string::npos)
        << reasonOf(bySession);
    EXPECT_TRUE(bySession->pluginErrors().empty()) << "refused before the plug-in was called";

    (void)session.deviceScan(Register::kIr, 1, {0x22}, 8);
    EXPECT_EQ(session.deviceScan(Register::kDr, 1, {0x12, 0x34, 0x56}, 24),
              (std::vector<uint8_t>{0, 0, 0}))
        << "the restarted front end's register is empty";
    EXPECT_EQ(session.deviceScan(Register::kDr, 1, {0, 0, 0}, 24),
              (std::vector<uint8_t>{0x12, 0x34, 0x56}));
    session.close();
}

// Broke when mutated: a failed navigation must leave the instructions unknown to the session too,
// which then refuses the next device DR scan itself, without calling the plug-in.
TEST(CableSession, AFailedNavigationMakesTheInstructionsUnknown) {
    std::unique_ptr<quorbit::Simulator> frontEnd = startFrontEnd(0);
    SessionOptions options = embeddedOptions();
    options.useFrontEnd = true;
    options.node = "127.0.0.1";
    options.port = frontEnd->udpPort();
    options.timeoutSeconds = 1;
    CableSession session(options);
    (void)session.deviceScan(Register::kIr, 1, {0x22}, 8);
    frontEnd->stop();
    EXPECT_TRUE(errorOf([&] { (void)session.navigate(CsePluginInterface::CSEJTAG_PAUSE_DR, 0); }));
    EXPECT_TRUE(session.instructionsUnknown());
    frontEnd = startFrontEnd(static_cast<uint16_t>(options.port));
    const std::optional<SessionError> bySession = errorOf([&] {
        (void)session.deviceScan(Register::kDr, 1, {0, 0, 0}, 24);
    });
    ASSERT_TRUE(bySession);
    EXPECT_NE(reasonOf(bySession).find("after a failed call is refused"), std::string::npos)
        << reasonOf(bySession);
    EXPECT_TRUE(bySession->pluginErrors().empty()) << "refused before the plug-in was called";
    session.close();
}

namespace {

// A failed open reads cause first: the link's reason or the session's own words, then the
// plug-in's fixed lines that only name the failed step.
struct OpenCause {
    const char* name;
    std::function<void(quorbit::SimOptions&)> fault;  // null: nothing listens at the port
    std::optional<uint32_t> timeoutSeconds;
    const char* headline;  // HOST:PORT stands for the front end's address
    std::vector<std::string> lines;
};

void PrintTo(const OpenCause& row, std::ostream* out) {
    *out << row.name;
}

class OpenFailureCause : public ::testing::TestWithParam<OpenCause> {};

TEST_P(OpenFailureCause, LeadsWithTheCause) {
    SessionOptions options = embeddedOptions();
    options.useFrontEnd = true;
    std::unique_ptr<quorbit::Simulator> frontEnd;
    if (GetParam().fault) {
        quorbit::SimOptions sim;
        GetParam().fault(sim);
        frontEnd = std::make_unique<quorbit::Simulator>(sim);
        std::string error;
        ASSERT_TRUE(frontEnd->start(error)) << error;
        options.node = "127.0.0.1";
        options.port = static_cast<uint16_t>(frontEnd->udpPort());
    } else {
        // The silent port's number on another loopback address: nothing is bound there.
        options.node = "127.0.0.2";
        options.port = static_cast<uint16_t>(silentUdpPort());
    }
    options.timeoutSeconds = GetParam().timeoutSeconds;
    const auto error = errorOf([&] { CableSession session(options); });
    ASSERT_TRUE(error.has_value());
    std::string headline = GetParam().headline;
    const size_t at = headline.find("HOST:PORT");
    if (at != std::string::npos)
        headline.replace(at, 9, options.node + ":" + std::to_string(options.port));
    EXPECT_EQ(error->headline(), headline);
    EXPECT_EQ(error->pluginErrors(), GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    CableSession, OpenFailureCause,
    ::testing::Values(
        OpenCause{"NothingListens",
                  nullptr,
                  std::nullopt,
                  "cannot open the target through the front end at HOST:PORT",
                  {"KORAVEN: Nothing listens at the port given on this machine (the port is "
                   "closed): the front end is not running, or its remote interface uses another "
                   "port.",
                   "KORAVEN: Failed to set up connection to KORAVEN debugger hardware",
                   "KORAVEN: Assure that the KORAVEN Quorbit GUI is running and configured for "
                   "Remote API access."}},
        OpenCause{"AttachRefused",
                  [](quorbit::SimOptions& sim) { sim.faults.attachFails = true; },
                  std::nullopt,
                  "cannot open the target: the front end at HOST:PORT refused the attach",
                  {"KORAVEN: Error calling KRV_Attach."}},
        OpenCause{"AttachUnanswered",
                  [](quorbit::SimOptions& sim) { sim.faults.delayReplyMs = 3000; },
                  1,
                  "cannot open the target: the front end at HOST:PORT did not answer the attach "
                  "within 1 s (timeout=)",
                  {"KORAVEN: Error calling KRV_Attach."}}),
    [](const ::testing::TestParamInfo<OpenCause>& info) { return std::string(info.param.name); });

}  // namespace
