// SPDX-License-Identifier: Apache-2.0
// The cse-host program run as a user runs it: every command against the embedded emulator, a run
// script, the IR-length derivation, verbosity, and the exit codes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "krv/ProjectVersion.h"
#include "sim/QuorbitSim.h"
#include "support/ProcessRunner.h"

namespace {

using hosttest::ProcessResult;
using hosttest::runProcess;

ProcessResult cseHost(const std::vector<std::string>& args) {
    return runProcess(CSE_HOST_PATH, args);
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

std::string hex8(uint32_t value) {
    char text[16] = {};
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// A file that lives for one test.
class TemporaryFile {
  public:
    explicit TemporaryFile(const std::string& content) {
        char path[] = "/tmp/cse_host_test_XXXXXX";
        const int fd = mkstemp(path);
        if (fd >= 0) close(fd);
        path_ = path;
        std::ofstream(path_) << content;
    }
    ~TemporaryFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

const quorbit::ChainDescription& demo() {
    static const quorbit::ChainDescription chain = quorbit::defaultDemoChain();
    return chain;
}

TEST(CseHost, ScanListsTheDemoChainWithDerivedIrLengths) {
    const ProcessResult result = cseHost({"scan"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find("cse-host: embedded quorbit-sim on 127.0.0.1:"), std::string::npos);
    EXPECT_EQ(linesOf(result.err).size(), 1u) << "one line about the emulator, nothing else";
    const std::vector<std::string> lines = linesOf(result.out);
    ASSERT_EQ(lines.size(), 5u) << result.out;
    EXPECT_EQ(lines[0].rfind("dev  idcode", 0), 0u);
    for (size_t device = 0; device < 3; ++device) {
        const auto& described = demo().devices[device];
        std::istringstream row(lines[1 + device]);
        std::string position, idcode, version, part, bank, id, openOcd, irLength;
        row >> position >> idcode >> version >> part >> bank >> id >> openOcd >> irLength;
        EXPECT_EQ(position, std::to_string(device));
        EXPECT_EQ(openOcd, std::to_string(2 - device)) << "OpenOCD counts from TDO";
        EXPECT_EQ(idcode, described.idcode ? hex8(*described.idcode) : "-");
        EXPECT_EQ(irLength, std::to_string(described.irLength));
    }
    EXPECT_EQ(lines[4], "3 devices; dev 0 is nearest TDI, OpenOCD counts from TDO");
}

TEST(CseHost, GivenIrLengthsAreShownAndAWrongCountIsAUsageError) {
    ProcessResult result = cseHost({"--irlen", "6,8,4", "scan"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    result = cseHost({"--irlen", "6,8", "scan"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("--irlen gives 2 lengths, but the chain has 3 devices"),
              std::string::npos)
        << result.err;
}

TEST(CseHost, IdcodeReadsTheRegisterAfterAReset) {
    ProcessResult result = cseHost({"idcode", "0"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, hex8(*demo().devices[0].idcode) + "\n");
    result = cseHost({"idcode", "1"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, hex8(*demo().devices[1].idcode) + "\n");
}

TEST(CseHost, IdcodeOfADeviceWithoutOneFailsAndOutOfRangeIsAUsageError) {
    ProcessResult result = cseHost({"idcode", "2"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("device 2 has no IDCODE register"), std::string::npos);
    result = cseHost({"idcode", "3"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("device 3 is out of range: the chain has 3 devices (0..2)"),
              std::string::npos)
        << result.err;
}

TEST(CseHost, DeviceIrScanPrintsTheCapturedInstructionBits) {
    const auto& device1 = demo().devices[1];
    const ProcessResult result = cseHost({"irscan", "1", std::to_string(device1.irLength), "0"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    ASSERT_EQ(result.out.rfind("0x", 0), 0u);
    const unsigned long captured = std::stoul(result.out.substr(2), nullptr, 16);
    EXPECT_EQ(captured & 0x3u, 0x1u) << "an IR captures ...01";
}

TEST(CseHost, RunScriptWritesAndReadsBackTheUserRegisterInOneSession) {
    const auto& device1 = demo().devices[1];
    ASSERT_FALSE(device1.userRegisters.empty());
    const auto [opcode, width] = *device1.userRegisters.begin();
    char opcodeHex[32] = {};
    std::snprintf(opcodeHex, sizeof opcodeHex, "0x%llX", static_cast<unsigned long long>(opcode));
    const std::string value = width >= 16 ? "0xBEEF" : "0x1";
    TemporaryFile script(
        "# user register of the middle device\n"
        "irscan 1 " +
        std::to_string(device1.irLength) + " " + opcodeHex +
        "\n"
        "drscan 1 " +
        std::to_string(width) + " " + value +
        "   # write\n"
        "\n"
        "drscan 1 " +
        std::to_string(width) +
        " 0          # read back\n"
        "state PAUSE_DR\n");
    const ProcessResult result = cseHost({"run", script.path()});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::vector<std::string> lines = linesOf(result.out);
    ASSERT_EQ(lines.size(), 4u) << result.out;
    EXPECT_EQ(std::stoull(lines[2].substr(2), nullptr, 16),
              std::stoull(value.substr(2), nullptr, 16));
    EXPECT_EQ(lines[3], "PAUSE_DR");
}

TEST(CseHost, RunScriptErrorsAreUsageErrorsBeforeAnythingIsOpened) {
    TemporaryFile script("scan\nirscan 1 8 0x1FF\n");
    const ProcessResult result = cseHost({"run", script.path()});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find(script.path() + ":2: "), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("embedded quorbit-sim"), std::string::npos);
    EXPECT_EQ(cseHost({"run", "/nonexistent/script.run"}).exitCode, 2);
}

TEST(CseHost, ChainDrScanAfterResetShowsTheIdcodesBehindTheBypassBit) {
    const ProcessResult result = cseHost({"drscan-chain", "33", "0"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    // Device 2 (nearest TDO) has no IDCODE: one BYPASS bit (0), then device 1's IDCODE.
    const unsigned long long value = std::stoull(result.out.substr(2), nullptr, 16);
    EXPECT_EQ(value, static_cast<unsigned long long>(*demo().devices[1].idcode) << 1);
}

TEST(CseHost, ChainIrScanShowsEveryDevicesCapture) {
    const ProcessResult result = cseHost({"irscan-chain", "18", "3FFFF"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const unsigned long captured = std::stoul(result.out.substr(2), nullptr, 16);
    EXPECT_EQ(captured & 0x3u, 0x1u);
    EXPECT_EQ((captured >> 4) & 0x3u, 0x1u);
    EXPECT_EQ((captured >> 12) & 0x3u, 0x1u);
}

TEST(CseHost, StateMovesTheTapAndPrintsWhereItIs) {
    ProcessResult result = cseHost({"state", "Pause-IR", "10", "1500"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "PAUSE_IR\n");
    result = cseHost({"state", "DRPAUSE"});
    EXPECT_EQ(result.out, "PAUSE_DR\n") << "OpenOCD's and SVF's name";
    result = cseHost({"state", "nowhere"});
    EXPECT_EQ(result.exitCode, 2);
}

TEST(CseHost, SimChainFileReplacesTheDemoChain) {
    TemporaryFile chain("first 5 1A2B3C4D 1\nsecond 7 - -\n");
    ProcessResult result = cseHost({"--sim-chain", chain.path(), "scan"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.out.find("0x1A2B3C4D"), std::string::npos);
    EXPECT_NE(result.out.find("2 devices"), std::string::npos);
    EXPECT_NE(result.err.find("with the chain of " + chain.path()), std::string::npos);

    TemporaryFile broken("first five 1A2B3C4D 1\n");
    result = cseHost({"--sim-chain", broken.path(), "scan"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find(broken.path() + ":1"), std::string::npos) << result.err;
}

TEST(CseHost, VerbosityShowsLogsAndIndentedTraces) {
    ProcessResult result = cseHost({"scan"});
    ASSERT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err.find("KORAVEN:"), std::string::npos) << "quiet by default";

    result = cseHost({"-vv", "scan"});
    ASSERT_EQ(result.exitCode, 0);
    const std::string initializing =
        "KORAVEN: Initializing KORAVEN-CsePlugin (64bit)";  // this host is 64-bit
    const size_t first = result.err.find(initializing);
    EXPECT_NE(first, std::string::npos);
    EXPECT_EQ(result.err.find(initializing, first + 1), std::string::npos) << "shown once";
    EXPECT_EQ(result.err.find("-> CsePlugin::openTarget"), std::string::npos);

    result = cseHost({"-vvvv", "--dump", "scan"});
    ASSERT_EQ(result.exitCode, 0);
    EXPECT_NE(result.err.find("\n-> CsePlugin::openTarget\n"), std::string::npos);
    EXPECT_NE(result.err.find("\n  -> CsePlugin::initializeTarget\n"), std::string::npos);
    EXPECT_NE(result.err.find("dump BUFFER AFTER SHIFTDR: 1024 bits: 0x"), std::string::npos);
}

TEST(CseHost, HelpAndUsageErrors) {
    ProcessResult result = cseHost({"--help"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_NE(result.out.find("Usage: cse-host"), std::string::npos);
    result = cseHost({});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_NE(result.err.find("no command given"), std::string::npos);
    EXPECT_EQ(cseHost({"drscan", "1", "0", "0"}).exitCode, 2);
    EXPECT_EQ(cseHost({"drscan-chain", "4", "0x1F"}).exitCode, 2);
    result = cseHost({"--version"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out.rfind("cse-host " KRV_PROJECT_VERSION, 0), 0u) << result.out;
    EXPECT_NE(result.out.find(KRV_GIT_COMMIT), std::string::npos);
}

// --lib, then CSE_HOST_PLUGIN, then the one beside cse-host: a plug-in named by the user is loaded
// or the run fails, never silently replaced by another one.
TEST(CseHost, PluginLookupTakesLibThenTheVariableThenTheOneBeside) {
    const std::string beside =
        std::string(CSE_HOST_PATH).substr(0, std::string(CSE_HOST_PATH).rfind('/') + 1) +
        "KoravenCsePlugin_14.so";
    setenv("CSE_HOST_PLUGIN", "/nonexistent/named-by-variable.so", 1);
    ProcessResult result = cseHost({"scan"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("/nonexistent/named-by-variable.so"), std::string::npos);
    EXPECT_EQ(cseHost({"--lib", beside, "scan"}).exitCode, 0);
    setenv("CSE_HOST_PLUGIN", "", 1);  // empty counts as not set
    EXPECT_EQ(cseHost({"scan"}).exitCode, 0);
    unsetenv("CSE_HOST_PLUGIN");
}

// The opposite of an IDCODE scan cut short: a description file that lists a device the board
// lacks gives a longer list than BYPASS counts, and scan fails with that problem.
TEST(CseHost, DescriptionFileWithADeviceTooManyFailsTheScan) {
    const TemporaryFile description("151C0EFF\n27A31EFF\n00000000\n3C4D5E6F\n");
    setenv("CSE_JTAGFILE", description.path().c_str(), 1);
    const ProcessResult result = cseHost({"scan"});
    unsetenv("CSE_JTAGFILE");
    EXPECT_EQ(result.exitCode, 1) << result.out;
    EXPECT_NE(result.err.find("lists 4 devices, but 3 devices answer in BYPASS: the list names "
                              "devices the board does not have"),
              std::string::npos)
        << result.err;
}

TEST(CseHost, MissingPluginLibraryIsAFailure) {
    const ProcessResult result = cseHost({"--lib", "/nonexistent/plugin.so", "scan"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("cannot load the plug-in"), std::string::npos);
}

// A front end started outside cse-host, reached with --node and --port.
class FrontEnd {
  public:
    explicit FrontEnd(quorbit::FaultPlan faults = quorbit::FaultPlan(), bool verbose = false) {
        quorbit::SimOptions options;
        options.faults = faults;
        options.verbose = verbose;
        simulator_ = std::make_unique<quorbit::Simulator>(options);
        std::string error;
        started_ = simulator_->start(error);
    }
    bool started() const { return started_; }
    std::string port() const { return std::to_string(simulator_->udpPort()); }
    uint64_t requests() const { return simulator_->counters().requests; }
    std::vector<std::string> log() const { return simulator_->recentLog(); }

  private:
    std::unique_ptr<quorbit::Simulator> simulator_;
    bool started_ = false;
};

TEST(CseHost, TalksToAFrontEndGivenByNodeAndPort) {
    FrontEnd frontEnd;
    ASSERT_TRUE(frontEnd.started());
    const ProcessResult result =
        cseHost({"--node", "127.0.0.1", "--port", frontEnd.port(), "scan"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err.find("embedded"), std::string::npos);
    EXPECT_NE(result.out.find("3 devices"), std::string::npos);
    const ProcessResult both = cseHost({"--node", "127.0.0.1:" + frontEnd.port(), "idcode", "1"});
    EXPECT_EQ(both.out, hex8(*demo().devices[1].idcode) + "\n") << both.err;
}

// A run goes on after a failed command with --keep-going, as a host does: the front end forgets the
// link after the first DR scan; the plug-in connects again (resetting the TAP) and refuses the next
// DR scan, the session refuses the one after it by itself, and an irscan makes them work again.
TEST(CseHost, KeepGoingRunRefusesDrScansAfterAFailureUntilAnIrscan) {
    const char* const prefix = "irscan 1 8 0x22\ndrscan 1 24 0xC0FFEE\n";
    FrontEnd counting;
    const TemporaryFile first(prefix);
    ASSERT_EQ(
        cseHost({"--node", "127.0.0.1", "--port", counting.port(), "run", first.path()}).exitCode,
        0);
    quorbit::FaultPlan faults;
    faults.restartAfter =
        static_cast<unsigned>(counting.requests() - 1);  // not the close's release
    FrontEnd frontEnd(faults);
    const TemporaryFile script(std::string(prefix) +
                               "drscan 1 24 0\ndrscan 1 24 0\nirscan 1 8 0x22\ndrscan 1 24 0\n");
    const ProcessResult result = cseHost(
        {"--keep-going", "--node", "127.0.0.1", "--port", frontEnd.port(), "run", script.path()});
    EXPECT_EQ(result.exitCode, 1);
    const size_t byPlugin = result.err.find(":3: ");
    const size_t bySession = result.err.find(":4: ");
    ASSERT_NE(byPlugin, std::string::npos) << result.err;
    ASSERT_NE(bySession, std::string::npos) << result.err;
    EXPECT_NE(result.err.find("shift the instructions again", byPlugin), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("after a failed call is refused", bySession), std::string::npos)
        << result.err;
    EXPECT_EQ(result.out, "0x01\n0x000000\n0x01\n0xC0FFEE\n");
}

TEST(CseHost, RecoversFromBusyRepliesThatTheVerboseEmulatorNames) {
    quorbit::FaultPlan faults;
    faults.busyFirst = 1.0;
    FrontEnd frontEnd(faults, true);
    ASSERT_TRUE(frontEnd.started());
    const ProcessResult result =
        cseHost({"--node", "127.0.0.1", "--port", frontEnd.port(), "idcode", "1"});
    EXPECT_EQ(result.out, hex8(*demo().devices[1].idcode) + "\n") << result.err;
    size_t named = 0;
    for (const std::string& line : frontEnd.log())
        named += line.rfind("fault busy-first fired on the reply to message id 0x", 0) == 0;
    EXPECT_GT(named, 0u);
}

TEST(CseHost, FailingReleaseOnCloseIsAFailedOperation) {
    quorbit::FaultPlan faults;
    faults.releaseFails = true;
    FrontEnd frontEnd(faults);
    ASSERT_TRUE(frontEnd.started());
    const ProcessResult result =
        cseHost({"--node", "127.0.0.1", "--port", frontEnd.port(), "scan"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.out.find("3 devices"), std::string::npos) << "the results still come out";
    EXPECT_NE(
        result.err.find("closing the target failed: releasing the TAP on the debugger failed"),
        std::string::npos)
        << result.err;
    // Nothing came out before the close failed, so no result is said to stand.
    const ProcessResult nothing =
        cseHost({"--node", "127.0.0.1", "--port", frontEnd.port(), "idcode", "2"});
    EXPECT_EQ(nothing.exitCode, 1);
    EXPECT_NE(nothing.err.find("releasing the TAP on the debugger failed"), std::string::npos);
    EXPECT_EQ(nothing.err.find("results above stand"), std::string::npos) << nothing.err;
}

TEST(CseHost, SimPortFixesTheEmulatorsPort) {
    // A port that was free a moment ago.
    const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(probe);
    const std::string port = std::to_string(ntohs(address.sin_port));
    const ProcessResult result = cseHost({"--sim-port", port, "idcode", "1"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find("embedded quorbit-sim on 127.0.0.1:" + port + " "), std::string::npos)
        << result.err;
}

TEST(CseHost, NoFrontEndListeningFailsWithTheLibrarysExplanation) {
    // A bound port that never answers; the handshake gives up after its normal time-outs.
    const int silent = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
    const ProcessResult result =
        cseHost({"--node", "127.0.0.1", "--port", std::to_string(ntohs(address.sin_port)), "scan"});
    ::close(silent);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("cannot open the target through the front end at 127.0.0.1:"),
              std::string::npos);
    EXPECT_NE(result.err.find("KORAVEN: Failed to set up connection to KORAVEN debugger hardware"),
              std::string::npos)
        << result.err;
}

// Each of these once gave a wrong answer with exit status 0, or an error that pointed the wrong
// way.
struct RefusalCase {
    std::vector<std::string> args;
    int exitCode;
    const char* reason;
};

class Refusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusal, SaysWhyInsteadOfAWrongAnswer) {
    const ProcessResult result = cseHost(GetParam().args);
    EXPECT_EQ(result.exitCode, GetParam().exitCode) << result.out;
    EXPECT_NE(result.err.find(GetParam().reason), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    CseHost, Refusal,
    ::testing::Values(
        RefusalCase{{"--irlen", "5,8,5", "scan"},
                    2,
                    "--irlen 5,8,5 does not fit the chain: device 1's field"},
        RefusalCase{{"--irlen", "6,8,5", "scan"}, 2, "add up to 19 bits, the IR path measures 18"},
        RefusalCase{{"irscan", "1", "7", "0x0E"}, 2, "irscan takes exactly that many, not 7"},
        RefusalCase{{"drscan", "0", "32", "0"}, 2, "comes before any irscan"},
        RefusalCase{{"run", "/dev/zero"}, 2, "larger than 1 MiB"},
        RefusalCase{{"irscan-chain", "122817", "0"}, 2, "an IR scan carries at most 122816 bits"},
        RefusalCase{{"--sim-board-fault", "open-after=9", "scan"}, 2, "the chain has 3 devices"},
        RefusalCase{{"run", "/tmp"}, 2, "the script /tmp is a directory"},
        RefusalCase{{"--node", "::1", "scan"}, 2, "the link is IPv4"},
        // A faulty IR capture: no --irlen can help, so none is advised.
        RefusalCase{{"--sim-board-fault", "ir-capture=1:0", "irscan", "1", "8", "0"},
                    1,
                    "captured 0x01001 (the device nearest TDO in the lowest bits), which fits no "
                    "split into 3 devices"}));

// A name that does not resolve, looked up in a network namespace of the test's own (a loopback
// and nothing else): the machine's resolver is out of reach, so no query leaves the machine.
TEST(CseHost, ANameThatDoesNotResolveIsRefusedAtOnce) {
    const std::string unshare = "/usr/bin/unshare";
    if (runProcess(unshare, {"--net", "--map-root-user", "true"}).exitCode != 0)
        GTEST_SKIP() << "no network namespace of its own can be made here (unshare --net)";
    const ProcessResult result = runProcess(
        unshare, {"--net", "--map-root-user", CSE_HOST_PATH, "--node", "bench-pc.invalid", "scan"});
    EXPECT_EQ(result.exitCode, 1) << result.err;
    EXPECT_EQ(result.err, "cse-host: cannot resolve host bench-pc.invalid\n");
}

// Messages that must say what is wrong in one line, and nothing misleading beside it.
struct MessageCase {
    std::vector<std::string> args;
    int exitCode;
    const char* stderrText;  // the whole of stderr when exact, else a part of it
    bool exact;
    const char* absent;  // must not appear on stderr ("" for nothing)
};

class Message : public ::testing::TestWithParam<MessageCase> {};

TEST_P(Message, SaysWhatIsWrongAndOnlyThat) {
    const ProcessResult result = cseHost(GetParam().args);
    EXPECT_EQ(result.exitCode, GetParam().exitCode) << result.err;
    if (GetParam().exact) {
        EXPECT_EQ(result.err, GetParam().stderrText);
    } else {
        EXPECT_NE(result.err.find(GetParam().stderrText), std::string::npos) << result.err;
    }
    if (*GetParam().absent) {
        EXPECT_EQ(result.err.find(GetParam().absent), std::string::npos) << result.err;
    }
}

INSTANTIATE_TEST_SUITE_P(
    CseHost, Message,
    ::testing::Values(
        MessageCase{{}, 2, "cse-host: no command given (try 'cse-host --help')\n", true, ""},
        MessageCase{{"run", "nosuch.run"},
                    2,
                    "cse-host: cannot read the script nosuch.run: No such file or directory\n",
                    true,
                    ""},
        MessageCase{{"svf", "nosuch.svf"},
                    2,
                    "cse-host: cannot read the SVF file nosuch.svf: No such file or directory\n",
                    true,
                    ""},
        MessageCase{{"--sim-board-fault", "tdo-stuck-0", "scan"},
                    1,
                    "TDO reads 0 on every clock",
                    false,
                    "254"},
        MessageCase{{"--sim-board-fault", "tdo-echoes-tdi", "idcode", "0"},
                    1,
                    "TDO follows TDI on the same clock",
                    false,
                    "No devices detected"},
        // Open after the last device: the line to the TDO pin reads 1.
        MessageCase{{"--sim-board-fault", "open-after=2", "scan"},
                    1,
                    "TDO reads 1 on every clock",
                    false,
                    ""}));

// What a run shows beside its result:// What a run shows beside its result: the argument list at
// -vvvv, an installed chain by name, the emulator's fixed port, the reason for a faulty IR capture
// even with --quiet.
struct ShownCase {
    std::vector<std::string> args;
    int exitCode;
    const char* out;
    const char* err;
};

class Shown : public ::testing::TestWithParam<ShownCase> {};

TEST_P(Shown, TheRunSaysWhatItDid) {
    const ProcessResult result = cseHost(GetParam().args);
    EXPECT_EQ(result.exitCode, GetParam().exitCode) << result.err;
    EXPECT_NE(result.out.find(GetParam().out), std::string::npos) << result.out;
    EXPECT_NE(result.err.find(GetParam().err), std::string::npos) << result.err;
}

INSTANTIATE_TEST_SUITE_P(
    CseHost, Shown,
    ::testing::Values(
        ShownCase{{"-vvvv", "--timeout", "7", "--packlen", "512", "idcode", "0"},
                  0,
                  "0x151C0EFF",
                  " type=jtag timeout=7 packlen=512\n-> CsePlugin::openTarget"},
        ShownCase{{"--sim-chain", "long20", "scan"}, 0, "20 devices", "with the chain of long20"},
        ShownCase{{"--quiet", "--sim-board-fault", "ir-capture=1:0", "scan"},
                  1,
                  "3 devices",
                  "cannot be used at device level until that fault is found"}));

TEST(CseHost, AnIdcodeScanThatEndsEarlyIsNoDeviceList) {
    TemporaryFile chain("a 4 1A2B3C4D 1\nbroken 4 FFFFFFFF 1\nc 4 2B3C4D5F 1\n");
    for (const char* command : {"scan", "idcode"}) {
        std::vector<std::string> args = {"--sim-chain", chain.path(), command};
        if (std::string(command) == "idcode") args.push_back("0");
        const ProcessResult result = cseHost(args);
        EXPECT_EQ(result.exitCode, 1) << command;
        EXPECT_EQ(result.out, "") << "no device list, no IDCODE of the wrong device";
        EXPECT_NE(result.err.find("the IDCODE scan found 1 device, but 3 devices answer in BYPASS"),
                  std::string::npos)
            << result.err;
        EXPECT_NE(result.err.find("'diagnose'"), std::string::npos);
    }
}

TEST(CseHost, RunReadsTheScriptFromStandardInput) {
    const ProcessResult result = runProcess(
        "/bin/sh",
        {"-c", std::string("printf 'idcode 1\\nstate PAUSE_DR\\n' | ") + CSE_HOST_PATH + " run -"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, hex8(*demo().devices[1].idcode) + "\nPAUSE_DR\n");
}

// The completion cse-host prints, run by a real bash as the shell would at <TAB>.
TEST(CseHost, BashCompletionOffersFilesAfterSvfAndFaultKindsAfterTheOption) {
    TemporaryFile svf("RUNTEST 1 TCK;\n");
    const std::string folder = svf.path().substr(0, svf.path().rfind('/') + 1);
    const std::string script = "source <(" + std::string(CSE_HOST_PATH) +
                               " --bash-completion) && cd " + folder +
                               " && complete_at() { COMP_WORDS=(\"$@\"); "
                               "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _cse_host; "
                               "echo \"${COMPREPLY[*]}\"; } && "
                               "complete_at cse-host svf cse_host_test && "
                               "complete_at cse-host -v --sim-board-fault '' && "
                               "complete_at cse-host --node pc di && "
                               "complete_at " +
                               CSE_HOST_PATH + " --sim-chain long";
    const ProcessResult result = runProcess("/bin/bash", {"-c", script});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    const std::vector<std::string> lines = linesOf(result.out);
    ASSERT_EQ(lines.size(), 4u) << result.out;
    // The chains installed beside this cse-host, by name.
    EXPECT_EQ(lines[3], "long20");
    EXPECT_NE(lines[0].find(svf.path().substr(folder.size())), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], "tdo-stuck-0 tdo-stuck-1 tdo-echoes-tdi open-after= ir-capture=");
    EXPECT_EQ(lines[2], "diagnose");
}

TEST(CseHost, RunScriptFailuresNameFileAndLine) {
    TemporaryFile script("scan\n# a device without IDCODE\nidcode 2\n");
    const ProcessResult result = cseHost({"run", script.path()});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find(script.path() + ":3: device 2 has no IDCODE"), std::string::npos)
        << result.err;
}

TEST(CseHost, QuietAndJsonGiveOneParsableDocument) {
    ProcessResult result = cseHost({"--quiet", "--json", "scan"});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const nlohmann::json scan = nlohmann::json::parse(result.out);
    EXPECT_EQ(scan["exitStatus"], 0);
    const nlohmann::json& devices = scan["results"][0]["devices"];
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0]["idcode"], hex8(*demo().devices[0].idcode));
    EXPECT_EQ(devices[0]["openocdPosition"], 2) << "OpenOCD counts from TDO";
    EXPECT_EQ(devices[2]["irLength"], demo().devices[2].irLength);
    // A device without an IDCODE has its fields, as null.
    for (const char* field : {"idcode", "version", "part", "bank", "id"}) {
        ASSERT_TRUE(devices[2].contains(field)) << field;
        EXPECT_TRUE(devices[2][field].is_null()) << field;
    }

    result = cseHost({"--json", "idcode", "2"});
    EXPECT_EQ(result.exitCode, 1);
    const nlohmann::json failure = nlohmann::json::parse(result.out);
    EXPECT_EQ(failure["ok"], false);
    EXPECT_NE(failure["error"].get<std::string>().find("no IDCODE"), std::string::npos);

    result = cseHost({"--json", "frobnicate"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(nlohmann::json::parse(result.out)["error"], "unknown command 'frobnicate'");
}

// diagnose against quorbit-sim's board faults: the check that must show the fault, as parsed
// from the JSON document.
struct DiagnosisCase {
    std::vector<std::string> options;
    const char* check;
    const char* verdict;
    const char* reason;
};

class Diagnosis : public ::testing::TestWithParam<DiagnosisCase> {};

TEST_P(Diagnosis, ReportsTheBoardAsItIs) {
    std::vector<std::string> args = GetParam().options;
    args.insert(args.end(), {"--json", "diagnose"});
    const ProcessResult result = cseHost(args);
    const nlohmann::json document = nlohmann::json::parse(result.out);
    const nlohmann::json& checks = document["results"][0]["checks"];
    bool anyFault = false;
    bool found = false;
    for (const nlohmann::json& check : checks) {
        anyFault = anyFault || check["verdict"] == "fault";
        if (check["name"] != GetParam().check) continue;
        found = true;
        EXPECT_EQ(check["verdict"], GetParam().verdict);
        EXPECT_NE(check["reason"].get<std::string>().find(GetParam().reason), std::string::npos)
            << check["reason"];
    }
    EXPECT_TRUE(found) << result.out;
    EXPECT_EQ(result.exitCode, anyFault ? 1 : 0);
    // Counts are integers ("devices": 3), times and rates numbers with a fraction.
    for (const nlohmann::json& check : checks) {
        if (!check.contains("figures")) continue;
        for (const auto& [name, value] : check["figures"].items()) {
            const bool measured =
                name == "roundTripMs" || name == "bulkShiftMs" || name == "throughputMbitPerSecond";
            EXPECT_EQ(value.is_number_integer(), !measured) << name << ": " << value;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    CseHost, Diagnosis,
    ::testing::Values(
        DiagnosisCase{{}, "ir-length", "ok", "18-bit IR path, captured 0x01011: IR lengths 6,8,4"},
        DiagnosisCase{{}, "device-count", "ok", "3 devices in BYPASS, 3 in the IDCODE scan"},
        DiagnosisCase{{}, "idcode", "warning", "manufacturer id 0x7F"},
        DiagnosisCase{{}, "link", "ok", "1 Mbit through BYPASS"},
        DiagnosisCase{{},
                      "retransmission",
                      "ok",
                      "on: the front end answers a repeated request with its reply"},
        DiagnosisCase{{"--sim-chain", CSE_SIM_CHAINS "/long20.chain"},
                      "device-count",
                      "ok",
                      "20 devices in BYPASS, 20 in the IDCODE scan"},
        DiagnosisCase{{"--sim-board-fault", "tdo-stuck-0"}, "tdo", "fault", "TDO stuck at 0"},
        DiagnosisCase{{"--sim-board-fault", "tdo-stuck-1"}, "tdo", "fault", "TDO stuck at 1"},
        DiagnosisCase{{"--sim-board-fault", "tdo-echoes-tdi"}, "tdo", "fault", "echoes TDI"},
        DiagnosisCase{{"--sim-board-fault", "open-after=0"},
                      "tdo",
                      "fault",
                      "open: the zeros shifted in never reached TDO, which read 1 for good after "
                      "12 IR bits"},
        DiagnosisCase{{"--sim-board-fault", "ir-capture=0:0"},
                      "ir-length",
                      "fault",
                      "a device captures a wrong IR pattern"},
        DiagnosisCase{{"--sim-board-fault", "ir-capture=1:0x3", "--irlen", "6,8,4"},
                      "ir-length",
                      "fault",
                      "device 1 captures a wrong IR pattern"}));

// cse-host started on its own, so that a signal can reach it in the middle of a session.
pid_t startCseHost(const std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>(CSE_HOST_PATH)};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        execv(CSE_HOST_PATH, argv.data());
        _exit(127);
    }
    return child;
}

class Interrupt : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(Interrupt, ReleasesClosesAndDisconnectsBeforeExiting) {
    quorbit::SimOptions options;
    options.verbose = true;
    quorbit::Simulator simulator(options);
    std::string error;
    ASSERT_TRUE(simulator.start(error)) << error;
    // A long wait keeps the session open; the signal may come at any point after the open.
    TemporaryFile script("scan\nstate IDLE 0 3000000\nscan\n");
    const pid_t child = startCseHost({"--node", "127.0.0.1", "--port",
                                      std::to_string(simulator.udpPort()), "run", script.path()});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!simulator.pinsEnabled() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_TRUE(simulator.pinsEnabled()) << "cse-host never opened the target";
    kill(child, GetParam().first);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), GetParam().second);
    // The disconnect notices get no answer: the emulator may read them after cse-host exited.
    EXPECT_TRUE(simulator.waitForLogLine("disconnect from", std::chrono::seconds(10)));
    EXPECT_EQ(simulator.counters().disconnects, 1u);
    bool released = false;
    for (const std::string& line : simulator.recentLog())
        released = released || line.find("release TAP -> status 0") != std::string::npos;
    EXPECT_TRUE(released);
}

INSTANTIATE_TEST_SUITE_P(CseHost, Interrupt,
                         ::testing::Values(std::make_pair(SIGINT, 130),
                                           std::make_pair(SIGTERM, 143)));

// Scripts get SVF mismatches and diagnose figures as JSON values, not only inside text.
TEST(CseHost, JsonCarriesSvfMismatchesAndDiagnoseFiguresAsValues) {
    const TemporaryFile svf("SIR 18 TDI(3FFFF);\nSDR 8 TDI(FF) TDO(F0);\n");
    const nlohmann::json played =
        nlohmann::json::parse(cseHost({"--json", "--quiet", "svf", svf.path()}).out);
    const nlohmann::json& mismatch = played["results"][0]["mismatches"][0];
    EXPECT_EQ(mismatch["line"], 2);
    EXPECT_EQ(mismatch["firstBit"], 3);
    EXPECT_EQ(mismatch["command"], "SDR 8");
    EXPECT_EQ(mismatch["expected"], "F0");
    EXPECT_EQ(mismatch["read"], "F8");
    EXPECT_EQ(mismatch["mask"], "FF");
    EXPECT_EQ(played["results"][0]["mismatchCount"], 1);
    const nlohmann::json checks =
        nlohmann::json::parse(cseHost({"--json", "diagnose"}).out)["results"][0]["checks"];
    EXPECT_EQ(checks[1]["figures"]["devicesInBypass"], 3);
    EXPECT_EQ(checks[2]["figures"]["irPathBits"], 18);
    EXPECT_EQ(checks[4]["figures"]["differingBits"], 0) << checks;
    EXPECT_TRUE(checks[5]["figures"]["roundTripMs"].is_number()) << checks;
}

}  // namespace
