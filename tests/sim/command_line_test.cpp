// SPDX-License-Identifier: Apache-2.0
// quorbit-sim's command line: defaults, every option in both spellings, and usage errors.
#include <gtest/gtest.h>

#include "sim/ChainLookup.h"
#include "sim/CommandLine.h"

namespace {

using quorbit::CommandLine;
using quorbit::CommandLineOutcome;

CommandLineOutcome parse(const std::vector<std::string>& args, CommandLine& line,
                         std::string& error) {
    return quorbit::parseCommandLine(args, line, error);
}

TEST(CommandLine, DefaultsListenOnPort20000OfTheLoopback) {
    CommandLine line;
    std::string error;
    ASSERT_EQ(parse({}, line, error), CommandLineOutcome::Run) << error;
    EXPECT_EQ(line.options.bindAddress, "127.0.0.1");
    EXPECT_EQ(line.options.port, 20000);
    EXPECT_EQ(line.options.packetLength, 1024);
    EXPECT_EQ(line.options.rbbPort, -1);
    EXPECT_FALSE(line.options.verbose);
    EXPECT_TRUE(line.chainPath.empty());
}

TEST(CommandLine, EveryOptionIsTaken) {
    CommandLine line;
    std::string error;
    ASSERT_EQ(parse({"--bind", "0.0.0.0", "--port=0", "--chain", "c.chain", "--packlen", "1472",
                     "--vcd=out.vcd", "--faults", "busy-first,seed=3", "--seed", "9", "--verbose",
                     "--rbb-port", "0", "--pcap", "link.pcap", "--link-lease", "0"},
                    line, error),
              CommandLineOutcome::Run)
        << error;
    EXPECT_EQ(line.options.bindAddress, "0.0.0.0");
    EXPECT_EQ(line.options.port, 0);
    EXPECT_EQ(line.chainPath, "c.chain");
    EXPECT_EQ(line.options.packetLength, 1472);
    EXPECT_EQ(line.options.vcdPath, "out.vcd");
    EXPECT_DOUBLE_EQ(line.options.faults.busyFirst, 1.0);
    EXPECT_EQ(line.options.faults.seed, 9u) << "--seed wins over seed= in the list";
    EXPECT_TRUE(line.options.verbose);
    EXPECT_EQ(line.options.rbbPort, 0);
    EXPECT_EQ(line.options.pcapPath, "link.pcap");
    EXPECT_EQ(line.options.linkLeaseSeconds, 0u);
}

TEST(CommandLine, HelpIsRecognisedAnywhere) {
    CommandLine line;
    std::string error;
    EXPECT_EQ(parse({"--port", "5", "--help"}, line, error), CommandLineOutcome::Help);
    EXPECT_EQ(parse({"--port", "5", "--version"}, line, error), CommandLineOutcome::Version);
    EXPECT_NE(quorbit::usageText().find("--rbb-port"), std::string::npos);
}

struct BadArgs {
    const char* name;
    std::vector<std::string> args;
    const char* error;
};

class CommandLineErrorTest : public ::testing::TestWithParam<BadArgs> {};

TEST_P(CommandLineErrorTest, UsageErrorWithAOneLineReason) {
    CommandLine line;
    std::string error;
    EXPECT_EQ(parse(GetParam().args, line, error), CommandLineOutcome::UsageError);
    EXPECT_EQ(error, GetParam().error);
    EXPECT_EQ(error.find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, CommandLineErrorTest,
    ::testing::Values(
        BadArgs{"Unknown", {"--frobnicate"}, "unknown argument '--frobnicate' (see --help)"},
        BadArgs{"MissingValue", {"--port"}, "--port needs a value"},
        BadArgs{"PortTooLarge", {"--port", "65536"}, "--port takes 0..65535, not '65536'"},
        BadArgs{"PortNotANumber", {"--port=x"}, "--port takes 0..65535, not 'x'"},
        BadArgs{"PacketLengthTooSmall", {"--packlen", "15"}, "--packlen takes 16..1472, not '15'"},
        BadArgs{
            "PacketLengthTooLarge", {"--packlen", "1473"}, "--packlen takes 16..1472, not '1473'"},
        BadArgs{"BadFaults", {"--faults", "explode"}, "--faults: unknown fault 'explode'"},
        BadArgs{"BadSeed", {"--seed", "-4"}, "--seed takes a decimal number, not '-4'"},
        BadArgs{"PcapWithoutFile", {"--pcap"}, "--pcap needs a value"},
        BadArgs{"BadRbbPort", {"--rbb-port", "99999"}, "--rbb-port takes 0..65535, not '99999'"},
        BadArgs{"LeaseTooLong", {"--link-lease", "3601"},
                "--link-lease takes 0..3600 seconds, not '3601'"},
        BadArgs{"BadBind",
                {"--bind", "localhost"},
                "bind address 'localhost' is not a dotted IPv4 address"},
        BadArgs{"BadBoardFault",
                {"--board-fault", "ir-capture=1"},
                "--board-fault: 'ir-capture=1': ir-capture takes DEVICE:HEX, e.g. "
                "ir-capture=1:0x3"}),
    [](const ::testing::TestParamInfo<BadArgs>& info) { return info.param.name; });

// --chain NAME: the installed chain files (here the source tree's) by name, paths as they are.
TEST(CommandLine, ChainNamesFindTheInstalledChainFiles) {
    const std::string folder = QUORBIT_SIM_CHAINS_DIR;
    EXPECT_EQ(quorbit::installedChainFolder("/opt/k/bin/quorbit-sim"),
              "/opt/k/bin/../share/quorbit-sim");
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"long20", folder + "/long20.chain"},
        {"no-idcode.chain", folder + "/no-idcode.chain"},
        {"long2", "long2"},
        {"chains/long20", "chains/long20"},
        {folder + "/demo.chain", folder + "/demo.chain"},
    };
    for (const auto& [value, expected] : rows)
        EXPECT_EQ(quorbit::findChainFile(value, folder), expected) << value;
}

}  // namespace
