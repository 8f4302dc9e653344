// SPDX-License-Identifier: Apache-2.0
// The link dissector (tools/wireshark) on captures of real sessions: the plug-in, driven by
// cse-host, talks to quorbit-sim, which writes the capture; tshark reads it with the dissector.
// Every datagram must be decoded without malformed marks, messages reassembled to their lengths,
// and expert info must stand exactly where quorbit-sim injected faults, as its counters and log
// tell.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/QuorbitSim.h"
#include "support/CommandRun.h"

namespace {

constexpr int kTimeLimitSeconds = 120;

using Rows = std::vector<std::vector<std::string>>;

struct Capture {
    std::string pcap;
    std::uint16_t port = 0;
    quorbit::SimCounters counters;
    std::set<unsigned> droppedFragments;  // sequence numbers quorbit-sim dropped on purpose
    std::set<unsigned> droppedFollowed;   // those of them that a later fragment of a reply follows
    systemtest::CommandRun host;
};

std::string temporaryPath(const char* suffix) {
    char path[] = "/tmp/link_dissector_XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd >= 0) {
        ::close(fd);
        ::unlink(path);
    }
    return std::string(path) + suffix;
}

// One cse-host session of `script` against a quorbit-sim with `faults`, captured.
Capture captureSession(const std::string& faults, int packetLength, const std::string& script) {
    Capture capture;
    capture.pcap = temporaryPath(".pcap");
    quorbit::SimOptions options;
    options.packetLength = packetLength;
    options.pcapPath = capture.pcap;
    std::string error;
    EXPECT_TRUE(quorbit::parseFaultList(faults, options.faults, error)) << error;
    std::mutex mutex;
    std::vector<std::string> log;
    options.logSink = [&](quorbit::LogKind, const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        log.push_back(line);
    };
    quorbit::Simulator simulator(options);
    EXPECT_TRUE(simulator.start(error)) << error;
    capture.port = simulator.udpPort();
    const std::string scriptPath = temporaryPath(".run");
    std::ofstream(scriptPath) << script;
    capture.host = systemtest::runCommand({KRV_CSE_HOST, "--node", "127.0.0.1", "--port",
                                           std::to_string(capture.port), "run", scriptPath},
                                          kTimeLimitSeconds);
    simulator.stop();
    std::remove(scriptPath.c_str());
    capture.counters = simulator.counters();
    unsigned seq = 0;
    for (const std::string& line : log) {
        if (std::sscanf(line.c_str(), "reply fragment %u", &seq) != 1) continue;
        capture.droppedFragments.insert(seq);
        if (line.find("(the last)") == std::string::npos) capture.droppedFollowed.insert(seq);
    }
    return capture;
}

// A home of the tests' own: no personal Lua plug-in or preference of the developer's takes part.
// (Wireshark's global plug-in folder cannot be moved; an installed copy of the dissector there
// gives way to the script named with -X, see TheScriptNamedWithXWinsOverAnInstalledCopy.)
const std::string& emptyHome() {
    static const std::string home = [] {
        char path[] = "/tmp/link_dissector_home_XXXXXX";
        return std::string(::mkdtemp(path) != nullptr ? path : "/nonexistent");
    }();
    return home;
}

// tshark's field rows for the frames that match `filter`.
Rows tshark(const Capture& capture, const std::string& filter,
            const std::vector<std::string>& fields, const std::string& home = emptyHome()) {
    const std::string program = systemtest::findOnPath("tshark");
    std::vector<std::string> argv = {"/usr/bin/env",
                                     "HOME=" + home,
                                     "XDG_CONFIG_HOME=" + home + "/.config",
                                     program,
                                     "-X",
                                     std::string("lua_script:") + KRV_DISSECTOR,
                                     "-d",
                                     "udp.port==" + std::to_string(capture.port) + ",koraven",
                                     "-r",
                                     capture.pcap,
                                     "-2",
                                     "-Y",
                                     filter,
                                     "-T",
                                     "fields"};
    for (const std::string& field : fields) argv.insert(argv.end(), {"-e", field});
    const systemtest::CommandRun run = systemtest::runCommand(argv, kTimeLimitSeconds);
    EXPECT_EQ(run.exitCode, 0) << run.output;
    Rows rows;
    std::istringstream lines(run.output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Running as user", 0) == 0) continue;  // tshark's note when run as root
        std::vector<std::string> row;
        std::istringstream cells(line);
        for (std::string cell; std::getline(cells, cell, '\t');) row.push_back(cell);
        rows.push_back(row);
    }
    return rows;
}

std::size_t frames(const Capture& capture, const std::string& filter) {
    return tshark(capture, filter, {"frame.number"}).size();
}

class LinkDissectorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (systemtest::findOnPath("tshark").empty())
            GTEST_SKIP() << "tshark is not installed (scripts/install-deps.sh test installs it)";
    }
    // A failing test leaves its capture for a look in Wireshark.
    void keepOnFailure(const Capture& capture) {
        if (HasFailure()) {
            std::printf("capture kept: %s (udp.port==%u)\n", capture.pcap.c_str(), capture.port);
        } else {
            std::remove(capture.pcap.c_str());
        }
    }
};

// Nothing undecoded or malformed, and no warning at all on a clean link.
void expectEveryDatagramDecoded(const Capture& capture) {
    EXPECT_GT(frames(capture, "koraven"), 10u);
    // A Lua error in the dissector shows as an expert error, not as malformed.
    EXPECT_EQ(frames(capture,
                     "!koraven || _ws.malformed || _ws.expert.severity >= 0x00800000 || "
                     "koraven.expert.bad"),
              0u);
}

TEST_F(LinkDissectorTest, OpenScanAndALongShiftAreDecodedAndReassembled) {
    const Capture capture = captureSession("", 1024, "idcode 1\ndrscan-chain 300000 0x5\n");
    ASSERT_EQ(capture.host.exitCode, 0) << capture.host.output;
    expectEveryDatagramDecoded(capture);
    EXPECT_EQ(frames(capture, "_ws.expert.severity >= 0x00600000"), 0u) << "no warnings";
    // 300000 bits go as raw shifts of 122816, 122816 and 54368 bits; TDI and TDO both ways.
    const Rows big = tshark(capture, "koraven.message.length > 6000",
                            {"koraven.type", "koraven.message.length", "koraven.raw.bits"});
    const Rows expected = {{"0x11", "15377", "122816"}, {"0x01", "15357"},
                           {"0x11", "15377", "122816"}, {"0x01", "15357"},
                           {"0x11", "6821", "54368"},   {"0x01", "6801"}};
    EXPECT_EQ(big, expected);
    EXPECT_GT(capture.counters.flowTokensSent, 0u);
    EXPECT_EQ(frames(capture, "koraven.token"), capture.counters.flowTokensSent);
    // Every request is paired with its reply, and nothing else is.
    EXPECT_EQ(frames(capture, "koraven.response_to"), capture.counters.requests);
    // A request sent again (the probe at open) is answered through its first sending.
    EXPECT_EQ(frames(capture, "koraven.request.id && !koraven.response_in && !koraven.repeat_of"),
              0u);
    keepOnFailure(capture);
}

TEST_F(LinkDissectorTest, CseHostCapturesItsEmbeddedEmulator) {
    Capture capture;
    capture.pcap = temporaryPath(".pcap");
    capture.host = systemtest::runCommand({KRV_CSE_HOST, "--sim-pcap", capture.pcap, "scan"},
                                          kTimeLimitSeconds);
    ASSERT_EQ(capture.host.exitCode, 0) << capture.host.output;
    const std::size_t at = capture.host.output.find("embedded quorbit-sim on 127.0.0.1:");
    ASSERT_NE(at, std::string::npos) << capture.host.output;
    capture.port = static_cast<std::uint16_t>(
        std::stoul(capture.host.output.substr(capture.host.output.find(':', at) + 1)));
    expectEveryDatagramDecoded(capture);
    EXPECT_EQ(frames(capture, "koraven.type == 0x03 || koraven.type == 0x13"), 2u);
    EXPECT_GT(frames(capture, "koraven.response_to"), 5u);
    // A request sent again (the probe at open) is answered through its first sending.
    EXPECT_EQ(frames(capture, "koraven.request.id && !koraven.response_in && !koraven.repeat_of"),
              0u);
    keepOnFailure(capture);
}

// With the package installed, its copy of the dissector is loaded from a plug-in folder before
// the script named with -X; the named script must be the one that dissects, and loading a second
// copy must not break either. A personal plug-in folder stands in for the installed one.
TEST_F(LinkDissectorTest, TheScriptNamedWithXWinsOverAnInstalledCopy) {
    const Capture capture = captureSession("", 1024, "idcode 1\n");
    ASSERT_EQ(capture.host.exitCode, 0) << capture.host.output;
    const std::string home = emptyHome() + "/installed";
    const std::string plugins = home + "/.local/lib/wireshark/plugins";
    ASSERT_EQ(systemtest::runCommand({"/bin/mkdir", "-p", plugins}, kTimeLimitSeconds).exitCode, 0);
    std::ifstream source(KRV_DISSECTOR);
    std::stringstream text;
    text << source.rdbuf();
    std::string installed = text.str();
    for (size_t at = installed.find("Request fragment"); at != std::string::npos;
         at = installed.find("Request fragment", at + 1)) {
        installed.replace(at, 16, "Installed copy!!");
    }
    std::ofstream(plugins + "/koraven_link.lua") << installed;
    const Rows withInstalled = tshark(capture, "koraven", {"_ws.col.Info"}, home);
    const Rows alone = tshark(capture, "koraven", {"_ws.col.Info"});
    EXPECT_GT(alone.size(), 10u);
    EXPECT_EQ(withInstalled, alone);
    EXPECT_EQ(tshark(capture, "_ws.expert.severity >= 0x00800000 || _ws.malformed",
                     {"frame.number"}, home)
                  .size(),
              0u);
    keepOnFailure(capture);
}

struct FaultCase {
    const char* name;
    const char* faults;
    int packetLength;
    bool lossy;         // replies lost: a repeat may fill the hole, so counts are bounds
    bool staleReplies;  // every request first gets a reply with the previous id
    bool sameToggle;    // every reply but the first is first sent with the previous toggle
};

class LinkFaultTest : public LinkDissectorTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(LinkFaultTest, ExpertInfoStandsExactlyWhereTheFaultsWere) {
    const FaultCase& row = GetParam();
    // A small packet length spreads every reply over several fragments.
    const Capture capture =
        captureSession(row.faults, row.packetLength,
                       "idcode 1\ndrscan-chain 8000 0x5\nirscan 1 8 0x22\ndrscan 1 24 0xC0FFEE\n"
                       "drscan 1 24 0\nidcode 0\n");
    ASSERT_GT(capture.counters.requests, 20u) << capture.host.output;
    expectEveryDatagramDecoded(capture);
    const quorbit::SimCounters& sim = capture.counters;

    // The replies repeated for the open's probe of retransmission are notes of their own.
    const std::size_t repeated = frames(capture, "koraven.expert.repeated_reply") +
                                 frames(capture, "koraven.expert.reply_to_request_sent_again");
    const std::size_t sentAgain = frames(capture, "koraven.expert.request_sent_again");
    if (row.lossy) {
        EXPECT_LE(repeated, sim.repeatedReplies);
    } else {
        EXPECT_EQ(repeated, sim.repeatedReplies + (row.sameToggle ? sim.requests - 1 : 0u));
        EXPECT_EQ(sentAgain, sim.retransmittedRequests);
    }
    EXPECT_EQ(frames(capture, "koraven.expert.reply_without_request"),
              row.staleReplies ? sim.requests : 0u);
    // All but the first stale reply answer ids whose replies the capture holds.
    EXPECT_EQ(frames(capture, "_ws.expert.message contains \"stale reply\""),
              row.staleReplies ? sim.requests - 1 : 0u);
    // The spoofed copies come from quorbit-sim's second socket, and only they.
    const std::string port = std::to_string(capture.port);
    EXPECT_EQ(frames(capture, "koraven.expert.unexpected_source"),
              frames(capture, "udp.srcport != " + port + " && udp.dstport != " + port));

    // Gaps only over fragments dropped on purpose; with loss, at least one shows.
    std::set<unsigned> missing;
    for (const auto& gap : tshark(capture, "koraven.expert.sequence_gap",
                                  {"koraven.gap.first", "koraven.gap.missing"})) {
        ASSERT_EQ(gap.size(), 2u);
        for (unsigned k = 0; k < std::stoul(gap[1]); ++k)
            missing.insert((std::stoul(gap[0]) + k) % 65536);
    }
    // A dropped last fragment shows no gap: nothing of its reply follows it.
    for (const unsigned seq : missing)
        EXPECT_EQ(capture.droppedFragments.count(seq), 1u) << "gap over fragment " << seq;
    // A request sent again after a lost reply fragment brings the reply again, which may fill the
    // hole before anything after it shows the gap.
    for (const unsigned seq : missing) EXPECT_EQ(capture.droppedFollowed.count(seq), 1u);
    EXPECT_EQ(missing.empty(), !row.lossy);
    EXPECT_EQ(frames(capture, "koraven.notify.kind"), sim.notificationsSent);
    keepOnFailure(capture);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LinkFaultTest,
    ::testing::Values(FaultCase{"Duplicates", "dup-reply=0.3,seed=7", 64, false, false, false},
                      FaultCase{"StaleReplies", "stale-first", 64, false, true, false},
                      FaultCase{"BusyNotifiedAndTokensBetween", "busy-first,notify,tokens-between",
                                64, false, false, false},
                      FaultCase{"SameToggle", "same-toggle-first", 64, false, false, true},
                      FaultCase{"Spoofed", "spoof=0.2,seed=7", 64, false, false, false},
                      FaultCase{"Loss", "drop-out=0.04,repeat-idle=200ms,seed=6", 128, true, false,
                                false}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

// Datagrams the link does not carry, sent to quorbit-sim (which captures what it receives): each
// is flagged for what is wrong with it, and none stops the dissector. (An empty datagram never
// reaches a UDP payload dissector.)
struct OddDatagram {
    const char* name;
    std::string bytes;
    const char* flagged;
};

class OddDatagramTest : public LinkDissectorTest {};

TEST_F(OddDatagramTest, EachIsFlaggedAndNoneBreaksTheDissector) {
    using namespace std::string_literals;
    const std::string sync = "\x02\0\x01\0\0\0\0\0"s + std::string(8, 'x');
    const std::string command = "\x11\0\x01\0"s + std::string(5, '\0') +
                                "\x07\x72\x02\x09"
                                "ABCDE";
    const std::string shortBlock =
        "\x11\0\x02\0"s + std::string(5, '\0') + "\0\x74\x93\x0A\x0A\0\xEF\x20\x90\0\x01\0"s;
    const std::vector<OddDatagram> rows = {
        {"StrayByte", "*", "a single byte other than"},
        {"ShortFragment", "\x11\0\x01"s, "shorter than a fragment header"},
        {"UnknownType", "\x99\0\0\0\0\0"s, "unknown datagram type 0x99"},
        {"SyncWithoutMagic", sync, "the link magic is missing"},
        {"CommandWithoutNul", command, "command without its ending NUL"},
        {"RawShiftCutShort", shortBlock, "raw-shift block shorter than its 8-byte head"},
        {"OverlongDatagram", "\x06" + std::string(1499, '\0'), "more than the 1472"},
    };
    Capture capture;
    capture.pcap = temporaryPath(".pcap");
    quorbit::SimOptions options;
    options.pcapPath = capture.pcap;
    quorbit::Simulator simulator(options);
    std::string error;
    ASSERT_TRUE(simulator.start(error)) << error;
    capture.port = simulator.udpPort();
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(capture.port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (const OddDatagram& row : rows) {
        ASSERT_EQ(::sendto(fd, row.bytes.data(), row.bytes.size(), 0,
                           reinterpret_cast<const sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(row.bytes.size()));
    }
    // Each datagram the emulator refuses or ignores is counted; then all have been captured.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (simulator.counters().malformedDatagrams < rows.size() &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ::close(fd);
    simulator.stop();
    // What was sent to the emulator; it answers request fragments of a link it does not hold.
    const Rows messages =
        tshark(capture, "koraven && udp.dstport == " + std::to_string(capture.port),
               {"_ws.expert.message"});
    ASSERT_EQ(messages.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        ASSERT_FALSE(messages[i].empty()) << rows[i].name;
        EXPECT_NE(messages[i][0].find(rows[i].flagged), std::string::npos)
            << rows[i].name << ": " << messages[i][0];
    }
    // Its answers to the two request fragments: no link, each naming the fragment it answers.
    const Rows refusals =
        tshark(capture, "koraven.refusal.reason == 2", {"koraven.refusal.answers"});
    EXPECT_EQ(refusals, (Rows{{"1"}, {"2"}}));
    EXPECT_EQ(frames(capture, "_ws.expert.severity >= 0x00800000 || _ws.malformed"), 0u);
    keepOnFailure(capture);
}

}  // namespace
