// SPDX-License-Identifier: Apache-2.0
// cse-host's command line, its commands and run scripts.
#include <gtest/gtest.h>

#include "host/HostArguments.h"

namespace {

using namespace csehost;

bool parse(const std::vector<std::string>& args, HostOptions& options, std::string& error) {
    options = HostOptions{};
    return parseHostArguments(args, options, error);
}

TEST(HostArguments, DefaultsUseTheEmbeddedEmulatorQuietly) {
    HostOptions options;
    std::string error;
    ASSERT_TRUE(parse({"scan"}, options, error)) << error;
    EXPECT_FALSE(options.useFrontEnd);
    EXPECT_EQ(options.verbosity, 0);
    EXPECT_FALSE(options.dump);
    EXPECT_FALSE(options.hasIrLengths);
    EXPECT_EQ(options.command.kind, CommandKind::kScan);
}

TEST(HostArguments, OptionsMayComeBeforeOrAfterTheCommand) {
    HostOptions options;
    std::string error;
    ASSERT_TRUE(parse(
        {"-vv", "irscan", "1", "8", "0x02", "--irlen=6,8,4", "-v", "--dump", "--lib", "/x/p.so"},
        options, error))
        << error;
    EXPECT_EQ(options.verbosity, 3);
    EXPECT_TRUE(options.dump);
    EXPECT_EQ(options.irLengths, (std::vector<uint32_t>{6, 8, 4}));
    EXPECT_EQ(options.libraryPath, "/x/p.so");
    EXPECT_EQ(options.command.kind, CommandKind::kIrScan);
    EXPECT_EQ(options.command.device, 1u);
    EXPECT_EQ(options.command.bitCount, 8u);
    EXPECT_EQ(options.command.tdi, std::vector<uint8_t>{0x02});
}

TEST(HostArguments, VerbosityStopsAtFour) {
    HostOptions options;
    std::string error;
    ASSERT_TRUE(parse({"-vvvvvv", "scan"}, options, error));
    EXPECT_EQ(options.verbosity, 4);
}

TEST(HostArguments, NodeOrPortSelectAFrontEnd) {
    HostOptions options;
    std::string error;
    ASSERT_TRUE(parse({"--node", "bench-pc", "scan"}, options, error));
    EXPECT_TRUE(options.useFrontEnd);
    EXPECT_EQ(options.node, "bench-pc");
    EXPECT_EQ(options.port, "20000");
    ASSERT_TRUE(parse({"--port", "20001", "scan"}, options, error));
    EXPECT_TRUE(options.useFrontEnd);
    EXPECT_EQ(options.node, "localhost");
    EXPECT_EQ(options.port, "20001");
}

struct UsageCase {
    std::vector<std::string> args;
    const char* reasonPart;
};

class UsageError : public ::testing::TestWithParam<UsageCase> {};

TEST_P(UsageError, IsRefusedWithAOneLineReason) {
    HostOptions options;
    std::string error;
    EXPECT_FALSE(parse(GetParam().args, options, error));
    EXPECT_NE(error.find(GetParam().reasonPart), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UsageError,
    ::testing::Values(
        UsageCase{{}, "no command"}, UsageCase{{"--bogus", "scan"}, "unknown option"},
        UsageCase{{"frobnicate"}, "unknown command"}, UsageCase{{"scan", "extra"}, "usage: scan"},
        UsageCase{{"idcode"}, "usage: idcode DEV"}, UsageCase{{"idcode", "255"}, "larger than 254"},
        UsageCase{{"idcode", "x"}, "not a decimal"},
        UsageCase{{"irscan", "0", "0", "1"}, "at least 1"},
        UsageCase{{"drscan", "0", "99999999999", "1"}, "larger than"},
        UsageCase{{"drscan-chain", "8", "0x123"}, "more than the 2"},
        UsageCase{{"irscan-chain", "8", "zz"}, "not a hex digit"},
        UsageCase{{"state", "NOWHERE"}, "unknown TAP state"},
        UsageCase{{"state", "PAUSE_DR", "x"}, "clocks"},
        UsageCase{{"state", "PAUSE_DR", "1", "4294967296"}, "wait"},
        UsageCase{{"--port", "0", "scan"}, "1..65535"},
        UsageCase{{"--port", "70000", "scan"}, "larger than 65535"},
        UsageCase{{"--node", "", "scan"}, "--node"}, UsageCase{{"scan", "--lib"}, "needs a value"},
        UsageCase{{"--version=x"}, "--version takes no value"},
        UsageCase{{"--quiet=abc", "scan"}, "--quiet takes no value"},
        UsageCase{{"--irlen", "6,,4", "scan"}, "--irlen"},
        UsageCase{{"--irlen", "6,0", "scan"}, "at least 1"},
        UsageCase{{"--node", "pc", "--sim-chain", "c.chain", "scan"}, "--sim-chain"},
        UsageCase{{"--port", "1", "--sim-board-fault", "tdo-stuck-0", "diagnose"},
                  "--sim-board-fault is for the embedded emulator"},
        UsageCase{{"diagnose", "now"}, "usage: diagnose"}, UsageCase{{"svf"}, "usage: svf FILE"},
        UsageCase{{"--keep-going", "scan"}, "--keep-going is for the svf and run commands"},
        UsageCase{{"--port", "9", "--sim-pcap", "link.pcap", "scan"}, "--sim-pcap"},
        UsageCase{{"serve", "now"}, "usage: serve"},
        UsageCase{{"scan", "--rbb-port", "0"}, "--rbb-port and --rbb-bind are for the serve"},
        UsageCase{{"serve", "--rbb-port", "65536"}, "larger than 65535"},
        UsageCase{{"--port", "9", "--sim-port", "9", "scan"}, "--sim-port is for the embedded"},
        UsageCase{{"--node", "::1", "scan"}, "the link is IPv4"},
        UsageCase{{"--node", "[::1]:20000", "scan"}, "the link is IPv4"},
        UsageCase{{"--node", "pc:0", "scan"}, "HOST:PORT with a port of 1..65535"},
        UsageCase{{"--node", "pc:20000", "--port", "20001", "scan"}, "but --port gives 20001"},
        UsageCase{{"--timeout", "0", "scan"}, "--timeout must be 1..3600"},
        UsageCase{{"--timeout", "3601", "scan"}, "larger than 3600"},
        UsageCase{{"--packlen", "15", "scan"}, "--packlen must be 16..1472"},
        UsageCase{{"--hostport", "x", "scan"}, "--hostport"}));

TEST(HostArguments, LinkSettingsAndHostPortNodesAreTaken) {
    HostOptions options;
    std::string error;
    ASSERT_TRUE(parse({"--node", "10.0.0.7:20005", "--port=20005", "--timeout", "30", "--packlen",
                       "512", "--hostport", "40000", "scan"},
                      options, error))
        << error;
    EXPECT_EQ(options.node, "10.0.0.7");
    EXPECT_EQ(options.port, "20005");
    EXPECT_EQ(options.timeoutSeconds, 30u);
    EXPECT_EQ(options.packetLength, 512u);
    EXPECT_EQ(options.hostPort, 40000u);
    ASSERT_TRUE(parse({"--sim-port", "20123", "scan"}, options, error)) << error;
    EXPECT_EQ(options.simPort, 20123u);
    EXPECT_FALSE(options.timeoutSeconds) << "absent: the plug-in's own default";
}

TEST(HostArguments, ScriptingOptionsAndBoardFaultsAreTaken) {
    HostOptions options;
    std::string error;
    ASSERT_TRUE(parse({"--json", "--quiet", "--sim-board-fault", "tdo-stuck-1",
                       "--sim-board-fault=open-after=1", "diagnose"},
                      options, error))
        << error;
    EXPECT_TRUE(options.json);
    EXPECT_TRUE(options.quiet);
    EXPECT_EQ(options.boardFaults, "tdo-stuck-1,open-after=1");
    EXPECT_EQ(options.command.kind, CommandKind::kDiagnose);
}

TEST(HostArguments, SvfTakesAFileOrStandardInputAndKeepGoing) {
    HostOptions options;
    std::string error;
    ASSERT_TRUE(parse({"svf", "-", "--keep-going"}, options, error)) << error;
    EXPECT_EQ(options.command.kind, CommandKind::kSvf);
    EXPECT_EQ(options.command.file, "-");
    EXPECT_TRUE(options.command.keepGoing);
}

TEST(HostArguments, ServeTakesItsPortAndAddress) {
    HostOptions options;
    std::string error;
    ASSERT_TRUE(parse({"serve"}, options, error)) << error;
    EXPECT_EQ(options.command.kind, CommandKind::kServe);
    EXPECT_EQ(options.command.rbbPort, 3335);
    EXPECT_EQ(options.command.rbbBind, "127.0.0.1");
    ASSERT_TRUE(parse({"--rbb-bind", "0.0.0.0", "serve", "--rbb-port", "0"}, options, error));
    EXPECT_EQ(options.command.rbbPort, 0);
    EXPECT_EQ(options.command.rbbBind, "0.0.0.0");
    std::vector<HostCommand> commands;
    EXPECT_FALSE(parseRunScript("serve\n", "s.txt", commands, error));
    EXPECT_NE(error.find("cannot serve"), std::string::npos) << error;
}

struct StateCase {
    const char* text;
    uint32_t state;
};

class StateName : public ::testing::TestWithParam<StateCase> {};

TEST_P(StateName, AcceptsTheNamesInTheirUsualSpellings) {
    uint32_t state = 99;
    std::string error;
    ASSERT_TRUE(parseTapStateName(GetParam().text, state, error)) << error;
    EXPECT_EQ(state, GetParam().state);
}

INSTANTIATE_TEST_SUITE_P(
    Spellings, StateName,
    ::testing::Values(StateCase{"TEST_LOGIC_RESET", 0}, StateCase{"run-test/idle", 1},
                      StateCase{"CSEJTAG_SHIFT_DR", 4}, StateCase{"Pause-DR", 6},
                      StateCase{"update_ir", 15}, StateCase{"Select-IR-Scan", 9},
                      // OpenOCD's and SVF's names
                      StateCase{"RESET", 0}, StateCase{"idle", 1}, StateCase{"RUN/IDLE", 1},
                      StateCase{"DRSHIFT", 4}, StateCase{"DRPAUSE", 6}, StateCase{"IRPAUSE", 13},
                      StateCase{"IRUPDATE", 15}));

TEST(StateCommand, TakesOptionalClocksAndWait) {
    HostCommand command;
    std::string error;
    ASSERT_TRUE(parseCommandWords({"state", "PAUSE_DR"}, RunNesting::kAllowRun, command, error));
    EXPECT_FALSE(command.hasWait);
    ASSERT_TRUE(parseCommandWords({"state", "RUN_TEST_IDLE", "100", "1500"}, RunNesting::kAllowRun,
                                  command, error));
    EXPECT_EQ(command.state, 1u);
    EXPECT_EQ(command.clocks, 100u);
    EXPECT_TRUE(command.hasWait);
    EXPECT_EQ(command.waitMicroseconds, 1500u);
}

TEST(RunScript, ReadsOneCommandALineSkippingCommentsAndBlanks) {
    std::vector<HostCommand> commands;
    std::string error;
    ASSERT_TRUE(
        parseRunScript("# select the user register\n"
                       "irscan 1 8 0x02   # USER\n"
                       "\n"
                       "   drscan 1 16 BEEF\n"
                       "state PAUSE_DR\r\n",
                       "t.run", commands, error))
        << error;
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(commands[0].kind, CommandKind::kIrScan);
    EXPECT_EQ(commands[1].tdi, (std::vector<uint8_t>{0xEF, 0xBE}));
    EXPECT_EQ(commands[2].kind, CommandKind::kState);
}

TEST(RunScript, ErrorsNameTheFileAndLine) {
    std::vector<HostCommand> commands;
    std::string error;
    ASSERT_TRUE(parseRunScript("scan\n\nidcode 1\n", "t.run", commands, error)) << error;
    EXPECT_EQ(commands[1].origin, "t.run:3") << "for errors at run time";
    EXPECT_FALSE(parseRunScript("scan\n\ndrscan 1 4 0x1F\n", "t.run", commands, error));
    EXPECT_EQ(error.rfind("t.run:3: ", 0), 0u) << error;
    EXPECT_FALSE(parseRunScript("run other.run\n", "t.run", commands, error));
    EXPECT_NE(error.find("cannot run another script"), std::string::npos);
    EXPECT_FALSE(parseRunScript("# nothing\n", "t.run", commands, error));
    EXPECT_NE(error.find("no commands"), std::string::npos);
}

// A queue block holds only scans and navigations, is closed before the script ends and does not
// nest; the refusal names the line.
TEST(RunScript, QueueBlocks) {
    std::vector<HostCommand> commands;
    std::string error;
    ASSERT_TRUE(parseRunScript("queue\nirscan 1 8 0x22\nstate PAUSE_DR 4\nrun-queue\nidcode 1\n",
                               "q.run", commands, error))
        << error;
    ASSERT_EQ(commands.size(), 5u);
    EXPECT_EQ(commands[0].kind, CommandKind::kQueue);
    EXPECT_EQ(commands[3].kind, CommandKind::kRunQueue);
    EXPECT_EQ(commands[3].origin, "q.run:4");
    const std::pair<const char*, const char*> refused[] = {
        {"queue\nidcode 1\nrun-queue\n", "q.run:2: 'idcode' cannot be queued"},
        {"queue\nqueue\n", "q.run:2: a queue inside the queue of line 1"},
        {"scan\nrun-queue\n", "q.run:2: run-queue without a queue line before it"},
        {"queue\ndrscan 1 24 0\n", "q.run:1: queue without run-queue"},
        {"queue 3\nrun-queue\n", "q.run:1: 'queue' takes no arguments"},
    };
    for (const auto& [text, reason] : refused) {
        EXPECT_FALSE(parseRunScript(text, "q.run", commands, error)) << text;
        EXPECT_EQ(error.rfind(reason, 0), 0u) << error;
    }
    HostOptions options;
    EXPECT_FALSE(parseHostArguments({"queue"}, options, error));
    EXPECT_EQ(error, "unknown command 'queue'");
}

}  // namespace
