// SPDX-License-Identifier: Apache-2.0
// SVF files played by two independent stacks on one running quorbit-sim: cse-host through the
// plug-in and the UDP link, and OpenOCD's svf command over remote_bitbang, directly and through
// "cse-host serve". All must pass, or all fail at the same statement, and that must be what the
// file was written to do.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "sim/QuorbitSim.h"
#include "support/BackgroundProgram.h"
#include "support/CommandRun.h"
#include "support/SvfText.h"

namespace {

using systemtest::Bits;
using systemtest::bypassScan;

constexpr int kTimeLimitSeconds = 120;

// Reset values of the whole chain: IDCODE or a BYPASS zero per device from the TDO end (DR), and
// the ...01 every IR captures.
template <typename Chain>
std::string resetScans(const Chain& chain) {
    Bits dr, ir, ones;
    for (auto device = chain.devices.rbegin(); device != chain.devices.rend(); ++device) {
        device->idcode ? dr.add(*device->idcode, 32) : dr.add(0, 1);
        ir.add(1, device->irLength);
        ones.add(~0ull, device->irLength);
    }
    Bits drMask;
    for (size_t i = 0; i < dr.bits.size(); ++i) drMask.add(1, 1);
    return "SDR " + std::to_string(dr.bits.size()) + " TDI(0) TDO(" + dr.hex() + ") MASK(" +
           drMask.hex() + ");\nSIR " + std::to_string(ir.bits.size()) + " TDI(" + ones.hex() +
           ") TDO(" + ir.hex() + ") MASK(" + ones.hex() + ");\n";
}

// The middle device of the demo chain: user registers through headers and trailers, pause
// states as end states, RUNTEST forms, remembered TDI and MASK, SMASK. badLine 6 breaks a check.
std::string demoRegisters(bool broken) {
    return "HIR 4 TDI(F);\nTIR 6 TDI(3F);\nHDR 1 TDI(0);\nTDR 1 TDI(0);\nENDIR IRPAUSE;\n"
           "SIR 8 TDI(22) TDO(01) MASK(03);\n"  // line 6
           "ENDDR DRPAUSE;\nSDR 24 TDI(C0FFEE) SMASK(FFFFFF);\n"
           // From Pause-DR the next scan goes on without a capture: the bits come back.
           "SDR 24 TDI(123456) TDO(" +
           std::string(broken ? "C0FFEF" : "C0FFEE") +
           ") MASK(FFFFFF);\n"  // line 9
           "RUNTEST IDLE 100 TCK;\nSDR 24 TDI(0) TDO(123456);\nsdr 24 tdo(000000);\n"
           "RUNTEST DRPAUSE 50 TCK 1.0E-3 SEC MAXIMUM 1 SEC ENDSTATE IDLE;\n"
           "SDR 24 TDI(ABCDEF) TDO(000000) MASK(FFFFFF);\nSTATE IDLE;\nSDR 24 TDI(0) TDO(ABCDEF);\n"
           "ENDIR IDLE;\nENDDR IDLE;\nSIR 8 TDI(23);\nSDR 72 TDI(0123456789ABCDEF01);\n"
           "SDR 72 TDI(0) TDO(0123456789ABCDEF01) MASK(FFFFFFFFFFFFFFFFFF);\n"
           "HIR 0;\nTIR 0;\nHDR 0;\nTDR 0;\nRUNTEST RESET 10 TCK ENDSTATE IDLE;\nRUNTEST 2.5E-4 "
           "SEC;\n"
           "STATE RESET IDLE DRSELECT DRCAPTURE DREXIT1 DRPAUSE;\nTRST ON;\nTRST "
           "OFF;\nFREQUENCY;\n";
}

auto longChain() {
    quorbit::SimOptions options;
    std::string error;
    EXPECT_TRUE(quorbit::parseChainFile(KRV_SIM_CHAINS "/long20.chain", options.chain, error))
        << error;
    return options.chain;
}

// Device 5 of the long chain (IR 8, a 32-bit user register at opcode 2), every other in BYPASS.
std::string longUserRegister(bool broken) {
    const auto chain = longChain();
    Bits header, trailer;
    for (size_t device = 0; device < chain.devices.size(); ++device) {
        if (device != 5) (device > 5 ? header : trailer).add(~0ull, chain.devices[device].irLength);
    }
    return "ENDIR IDLE;\nENDDR IDLE;\nHIR " + std::to_string(header.bits.size()) + " TDI(" +
           header.hex() + ");\nTIR " + std::to_string(trailer.bits.size()) + " TDI(" +
           trailer.hex() +
           ");\nHDR 14 TDI(0);\nTDR 5 TDI(0);\nSIR 8 TDI(02);\nSDR 32 TDI(DEADBEEF);\n" +
           "SDR 32 TDI(0) TDO(" + (broken ? "DEADBEEE" : "DEADBEEF") + ") MASK(FFFFFFFF);\n";
}

struct Case {
    const char* name;
    bool longChain;
    std::string text;
    unsigned failingLine;  // 0: the file passes
    int hostExit;          // cse-host's exit status
};

std::vector<Case> cases() {
    quorbit::SimOptions demo;
    const std::string prologue = "TRST OFF;\nENDIR IDLE;\nENDDR IDLE;\nSTATE RESET;\nSTATE IDLE;\n";
    return {
        {"DemoIdcodes", false, prologue + resetScans(demo.chain), 0, 0},
        {"DemoRegisters", false, demoRegisters(false), 0, 0},
        {"DemoMismatchEarly", false, demoRegisters(true), 9, 1},
        {"Bypass200000Bits", false, bypassScan(1, false), 0, 0},
        {"MismatchLateInAMultiLineScan", false,
         "SDR 3 TDI(0) TDO(6) MASK(7);\n" + bypassScan(2, true), 3, 1},
        {"LongChainIdcodes", true, prologue + resetScans(longChain()), 0, 0},
        {"LongChainUserRegister", true, longUserRegister(false), 0, 0},
        {"LongChainMismatch", true, longUserRegister(true), 9, 1},
        {"ValueLongerThanTheScan", false, "ENDDR IDLE;\nSDR 3 TDI(0) TDO(6);\nSDR 3 TDI(8);\n", 3,
         2},
        {"UnknownCommand", false, "STATE IDLE;\nSTATE RESET;\nFOO 3;\n", 3, 2},
        {"PioRefused", false, "SDR 3 TDI(0);\nPIOMAP (IN A);\n", 2, 2},
    };
}

// The line where the statement that ends on endLine starts (OpenOCD names the line of its ';').
unsigned statementStart(const std::string& text, unsigned endLine) {
    unsigned line = 1, start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '!')
            i = text.find('\n', i) - 1;
        else if (c == '\n')
            ++line;
        else if (c == ';' && line == endLine)
            return start;
        else if (c == ';')
            start = 0;
        else if (start == 0 && c != ' ')
            start = line;
    }
    return endLine;
}

unsigned lineOf(const std::string& output, const char* pattern) {
    std::smatch match;
    return std::regex_search(output, match, std::regex(pattern)) ? std::stoul(match[1]) : ~0u;
}

template <typename Chain>
std::vector<std::string> openOcdSvf(const std::string& openocd, int rbbPort, const Chain& chain,
                                    const std::string& path) {
    std::vector<std::string> args = systemtest::openOcdOverRemoteBitbang(openocd, rbbPort);
    // OpenOCD lists TAPs from the TDO end.
    for (size_t device = chain.devices.size(); device-- > 0;) {
        args.insert(args.end(), {"-c", "jtag newtap d" + std::to_string(device) + " tap -irlen " +
                                           std::to_string(chain.devices[device].irLength)});
    }
    args.insert(args.end(), {"-c", "init", "-c", "svf -quiet " + path, "-c", "shutdown"});
    return args;
}

class SvfFile {
  public:
    explicit SvfFile(const std::string& text) {
        char path[] = "/tmp/svf_agreement_XXXXXX.svf";
        const int fd = mkstemps(path, 4);
        if (fd >= 0) close(fd);
        path_ = path;
        std::ofstream(path_) << text;
    }
    ~SvfFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

class SvfAgreementTest : public testing::TestWithParam<Case> {};

TEST_P(SvfAgreementTest, CseHostAndOpenOcdPassOrFailAtTheSameLine) {
    const std::string openocd = systemtest::findOnPath("openocd");
    if (openocd.empty()) {
        GTEST_SKIP() << "openocd is not installed (scripts/install-deps.sh test installs it)";
    }
    quorbit::SimOptions options;
    options.rbbPort = 0;
    if (GetParam().longChain) options.chain = longChain();
    quorbit::Simulator simulator(options);
    std::string error;
    ASSERT_TRUE(simulator.start(error)) << error;
    const SvfFile file(GetParam().text);

    const auto cseHost = [&](std::vector<std::string> options) {
        std::vector<std::string> args = {KRV_CSE_HOST, "--node", "127.0.0.1", "--port",
                                         std::to_string(simulator.udpPort())};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), {"svf", file.path()});
        return systemtest::runCommand(args, kTimeLimitSeconds);
    };
    const systemtest::CommandRun host = cseHost({});
    // Queued into raw shifts, and with each check before the next statement: the same verdict.
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"--shifts", "merged"},
          std::vector<std::string>{"--shifts", "merged", "--check-each"}}) {
        const systemtest::CommandRun merged = cseHost(options);
        EXPECT_EQ(merged.exitCode, GetParam().hostExit) << options.back() << merged.output;
        EXPECT_EQ(merged.exitCode == 0 ? 0 : lineOf(merged.output, R"(\.svf:(\d+): )"),
                  GetParam().failingLine)
            << options.back() << merged.output;
    }
    const systemtest::CommandRun ocd = systemtest::runCommand(
        openOcdSvf(openocd, simulator.rbbPort(), options.chain, file.path()), kTimeLimitSeconds);

    systemtest::BridgeProgram bridge(KRV_CSE_HOST, simulator.udpPort());
    const systemtest::CommandRun bridged = systemtest::runCommand(
        openOcdSvf(openocd, bridge.port, options.chain, file.path()), kTimeLimitSeconds);
    bridge.program.signal(SIGTERM);
    EXPECT_EQ(bridge.program.wait(kTimeLimitSeconds), 143) << bridge.program.output();

    const unsigned expected = GetParam().failingLine;
    const unsigned hostLine = host.exitCode == 0 ? 0 : lineOf(host.output, R"(\.svf:(\d+): )");
    const bool ocdPassed = ocd.output.find("svf file programmed successfully") != std::string::npos;
    const unsigned ocdLine =
        ocdPassed ? 0 : statementStart(GetParam().text, lineOf(ocd.output, R"(at line (\d+))"));
    EXPECT_GT(simulator.counters().rbbClocks, 0u);  // OpenOCD did drive the chain
    EXPECT_EQ(host.exitCode, GetParam().hostExit) << host.output;
    EXPECT_EQ(hostLine, expected) << host.output;
    EXPECT_EQ(ocdLine, expected) << ocd.output.substr(
        ocd.output.size() > 3000 ? ocd.output.size() - 3000 : 0);
    const bool bridgedPassed =
        bridged.output.find("svf file programmed successfully") != std::string::npos;
    const unsigned bridgedLine =
        bridgedPassed ? 0
                      : statementStart(GetParam().text, lineOf(bridged.output, R"(at line (\d+))"));
    EXPECT_EQ(bridgedLine, expected)
        << "through the bridge: "
        << bridged.output.substr(bridged.output.size() > 3000 ? bridged.output.size() - 3000 : 0);
}

INSTANTIATE_TEST_SUITE_P(Files, SvfAgreementTest, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(SvfPlaybackTest, KeepGoingReportsEveryMismatchAndStandardInputWorks) {
    const std::string text = "SDR 3 TDI(0) TDO(7);\nSDR 3 TDI(0) TDO(6);\nSDR 3 TDO(5);\n";
    const SvfFile file(text);
    const systemtest::CommandRun stopped =
        systemtest::runCommand({KRV_CSE_HOST, "svf", file.path()}, kTimeLimitSeconds);
    EXPECT_EQ(stopped.exitCode, 1);
    EXPECT_EQ(lineOf(stopped.output, R"(\.svf:(\d+): SDR 3: TDO mismatch at bit 0)"), 1u)
        << stopped.output;
    EXPECT_EQ(stopped.output.find(".svf:3:"), std::string::npos) << "stops at the first";
    const systemtest::CommandRun all = systemtest::runCommand(
        {"/bin/sh", "-c", std::string(KRV_CSE_HOST) + " --keep-going svf - < " + file.path()},
        kTimeLimitSeconds);
    EXPECT_EQ(all.exitCode, 1);
    EXPECT_NE(all.output.find("<stdin>:3: SDR 3: TDO mismatch at bit 0\ncse-host:   expected 5\n"
                              "cse-host:   read     6\ncse-host:   mask     7\n"),
              std::string::npos)
        << all.output;
    EXPECT_NE(all.output.find("<stdin>: 3 scans, 3 TDO checks, 2 mismatches"), std::string::npos);

    // A file is played as it is read: a bad statement is refused after what came before it.
    const SvfFile good("SDR 3 TDI(0) TDO(6);\n"), bad("SDR 3 TDI(0);\nRUNTEST 4 SCK;\n"),
        badFirst("RUNTEST 4 SCK;\n");
    EXPECT_EQ(
        systemtest::runCommand({KRV_CSE_HOST, "svf", good.path()}, kTimeLimitSeconds).exitCode, 0);
    const systemtest::CommandRun refused =
        systemtest::runCommand({KRV_CSE_HOST, "--quiet", "svf", bad.path()}, kTimeLimitSeconds);
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_EQ(refused.output, "cse-host: " + bad.path() +
                                  ":2: RUNTEST in SCK cycles is not supported: the cable clocks "
                                  "only TCK (the 1 statement before it was played: nothing can "
                                  "be un-played)\n");
    const systemtest::CommandRun refusedFirst = systemtest::runCommand(
        {KRV_CSE_HOST, "--quiet", "svf", badFirst.path()}, kTimeLimitSeconds);
    EXPECT_EQ(refusedFirst.exitCode, 2);
    EXPECT_EQ(refusedFirst.output, "cse-host: " + badFirst.path() +
                                       ":1: RUNTEST in SCK cycles is not supported: the cable "
                                       "clocks only TCK\n");
}

}  // namespace
