// SPDX-License-Identifier: Apache-2.0
// OpenOCD and GDB on the Cortex-M core of the arm chain through "cse-host serve" (the plug-in in
// front of quorbit-sim) and directly on another quorbit-sim's remote_bitbang port: the same
// output, command for command, with the project's OpenOCD configuration; and the same recovery
// from the debug port's faults (WAIT, a sticky error, a lost power acknowledgement).
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "sim/QuorbitSim.h"
#include "support/ArmSession.h"
#include "support/BackgroundProgram.h"
#include "support/CommandRun.h"

namespace {

constexpr int kTimeLimitSeconds = 120;

// Two emulators of the arm chain with the same faults: one served directly over remote_bitbang,
// one behind cse-host serve.
struct ArmPaths {
    explicit ArmPaths(const std::string& faults = "") {
        quorbit::SimOptions options;
        std::string error;
        EXPECT_TRUE(quorbit::parseChainFile(KRV_SIM_CHAINS "/arm.chain", options.chain, error))
            << error;
        EXPECT_TRUE(quorbit::parseFaultList(faults, options.faults, error)) << error;
        options.rbbPort = 0;
        direct = std::make_unique<quorbit::Simulator>(options);
        options.rbbPort = -1;
        behind = std::make_unique<quorbit::Simulator>(options);
        EXPECT_TRUE(direct->start(error)) << error;
        EXPECT_TRUE(behind->start(error)) << error;
        bridge = std::make_unique<systemtest::BridgeProgram>(KRV_CSE_HOST, behind->udpPort());
        EXPECT_NE(bridge->port, 0) << bridge->program.output();
    }
    ~ArmPaths() {
        bridge->program.signal(SIGTERM);
        EXPECT_EQ(bridge->program.wait(kTimeLimitSeconds), 143) << bridge->program.output();
    }
    std::unique_ptr<quorbit::Simulator> direct;
    std::unique_ptr<quorbit::Simulator> behind;
    std::unique_ptr<systemtest::BridgeProgram> bridge;
};

std::string openOcd() {
    return systemtest::findOnPath("openocd");
}

// The same OpenOCD commands both ways; the comparable output of the direct run.
std::string agreeingOpenOcdRuns(const std::vector<std::string>& commands,
                                const std::string& faults) {
    ArmPaths paths(faults);
    const auto direct = systemtest::runCommand(
        systemtest::openOcdOnArm(openOcd(), paths.direct->rbbPort(), commands), kTimeLimitSeconds);
    const auto bridged = systemtest::runCommand(
        systemtest::openOcdOnArm(openOcd(), paths.bridge->port, commands), kTimeLimitSeconds);
    EXPECT_EQ(direct.exitCode, 0) << direct.output;
    EXPECT_EQ(systemtest::comparableOutput(bridged.output),
              systemtest::comparableOutput(direct.output));
    return systemtest::comparableOutput(direct.output);
}

TEST(ArmDebugThroughServe, OpenOcdCommandsGiveTheSameOutputAsDirectly) {
    if (openOcd().empty()) GTEST_SKIP() << "openocd is not installed";
    const std::string output = agreeingOpenOcdRuns(
        {"init", "targets", "halt", "reg", "mww 0x20000000 0xdeadbeef", "mww 0x20000004 0x01234567",
         "mdw 0x20000000 2", "mdh 0x20000002 3", "mdb 0x20000001 6", "dap info", "reset halt",
         "reg pc", "resume", "targets", "shutdown"},
        "");
    for (const char* expected :
         {"Cortex-M0+ r0p1 processor detected", "0x20000000: deadbeef 01234567",
          "0x20000002: dead 4567 0123", "0x20000001: be ad de 67 45 23", "Type is MEM-AP AHB3",
          "Component class is 0xe, Generic IP component", "halted due to debug-request",
          "vela.cpu           cortex_m   little vela.cpu           running"}) {
        EXPECT_NE(output.find(expected), std::string::npos) << expected << "\n" << output;
    }
}

TEST(ArmDebugThroughServe, LoadAndVerifyOf64KiBGiveTheSameOutputAsDirectly) {
    if (openOcd().empty()) GTEST_SKIP() << "openocd is not installed";
    systemtest::ArmWorkspace workspace;
    const std::string image = workspace.image(64 << 10, 35);
    const std::string output = agreeingOpenOcdRuns(
        {"init", "halt", "load_image " + image + " 0x20000000 bin",
         "verify_image " + image + " 0x20000000 bin", "mdw 0x2000fffc", "shutdown"},
        "");
    EXPECT_NE(output.find("verified 65536 bytes"), std::string::npos) << output;
}

struct FaultRow {
    const char* name;
    const char* faults;
    const char* recovery;  // what OpenOCD says when it recovers
};

void PrintTo(const FaultRow& row, std::ostream* out) {
    *out << row.name;
}

class ArmDebugFaults : public testing::TestWithParam<FaultRow> {};

TEST_P(ArmDebugFaults, OpenOcdRecoversThroughServeAsItDoesDirectly) {
    if (openOcd().empty()) GTEST_SKIP() << "openocd is not installed";
    systemtest::ArmWorkspace workspace;
    const std::string image = workspace.image(4 << 10, 36);
    // The first write fails at 0x20000010 for the sticky and power faults; the rest go on.
    const std::string output = agreeingOpenOcdRuns(
        {"init", "halt", "catch {mww 0x20000010 0x1234}", "mww 0x20000010 0x5678",
         "load_image " + image + " 0x20000400 bin", "verify_image " + image + " 0x20000400 bin",
         "mdw 0x20000010", "catch {mdw 0x40000000}", "reg pc", "shutdown"},
        GetParam().faults);
    EXPECT_NE(output.find(GetParam().recovery), std::string::npos) << output;
    EXPECT_NE(output.find("verified 4096 bytes"), std::string::npos) << output;
    EXPECT_NE(output.find("0x20000010: 00005678"), std::string::npos) << output;
    EXPECT_NE(output.find("Failed to read memory at 0x40000000"), std::string::npos)
        << "an address with nothing behind it: a sticky error\n"
        << output;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ArmDebugFaults,
    testing::Values(FaultRow{"Wait", "dap-wait=5,dap-wait-scans=2", "stalled (WAIT)"},
                    FaultRow{"StickyError", "dap-sticky-error=0x20000010",
                             "Failed to write memory at 0x20000010"},
                    FaultRow{"PowerLost", "dap-power-lost=0x20000010",
                             "Debug regions are unpowered"}),
    [](const testing::TestParamInfo<FaultRow>& info) { return info.param.name; });

TEST(ArmDebugThroughServe, GdbSessionGivesTheSameOutputAsDirectly) {
    const std::string gdb = systemtest::findOnPath("gdb-multiarch");
    if (openOcd().empty() || gdb.empty()) GTEST_SKIP() << "openocd or gdb-multiarch is missing";
    systemtest::ArmWorkspace workspace;
    std::string why;
    const std::string elf = workspace.elf(why);
    if (elf.empty()) GTEST_SKIP() << why;
    const std::vector<std::string> commands = {"monitor reset halt",
                                               "load",
                                               "compare-sections",
                                               "x/4xw &table",
                                               "x/xw &counter",
                                               "set var {int}&counter = 0x1234",
                                               "x/xw &counter",
                                               "monitor reset halt",
                                               "maintenance flush register-cache",
                                               "info registers",
                                               "detach"};
    ArmPaths paths;
    const auto direct = systemtest::runCommand(
        systemtest::gdbOnArm(gdb, openOcd(), paths.direct->rbbPort(), elf, commands),
        kTimeLimitSeconds);
    const auto bridged = systemtest::runCommand(
        systemtest::gdbOnArm(gdb, openOcd(), paths.bridge->port, elf, commands), kTimeLimitSeconds);
    const std::string output = systemtest::comparableOutput(direct.output);
    EXPECT_EQ(systemtest::comparableOutput(bridged.output), output);
    for (const char* expected :
         {"Section .data, range 0x20000018 -- 0x2000101c: matched.",
          "0x2000001c:\t0x5a5a5a5a\t0x5a5a5a5a\t0x5a5a5a5a\t0x5a5a5a5a", "0x20000018:\t0x00c0ffee",
          "0x20000018:\t0x00001234", "pc             0x20000008          0x20000008 <reset>",
          "sp             0x20020000          0x20020000",
          "[Inferior 1 (Remote target) detached]"}) {
        EXPECT_NE(output.find(expected), std::string::npos) << expected << "\n" << output;
    }
}

}  // namespace
