// SPDX-License-Identifier: Apache-2.0
// Two independent JTAG stacks on one chain: OpenOCD over remote_bitbang and the plug-in through
// cse-host over the UDP link both scan the same running quorbit-sim and must find the same
// devices, ID codes and IR lengths.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/QuorbitSim.h"
#include "support/ChainListings.h"
#include "support/CommandRun.h"

namespace {

using systemtest::ListedDevice;

constexpr int kTimeLimitSeconds = 60;

std::vector<ListedDevice> demoChainDevices() {
    std::vector<ListedDevice> devices;
    for (const quorbit::DeviceDescription& device : quorbit::defaultDemoChain().devices) {
        devices.push_back({device.idcode, device.irLength});
    }
    return devices;
}

// OpenOCD declares nothing and auto-probes; its own servers stay closed so that parallel runs
// cannot collide on fixed ports.
std::vector<std::string> openOcdProbe(const std::string& openocd, int rbbPort) {
    std::vector<std::string> args = systemtest::openOcdOverRemoteBitbang(openocd, rbbPort);
    args.insert(args.end(), {"-c", "init", "-c", "shutdown"});
    return args;
}

TEST(OpenOcdAgreementTest, OpenOcdAndThePluginFindTheSameChain) {
    const std::string openocd = systemtest::findOnPath("openocd");
    if (openocd.empty()) {
        GTEST_SKIP() << "openocd is not installed (scripts/install-deps.sh test installs it)";
    }
    quorbit::SimOptions options;
    options.rbbPort = 0;
    quorbit::Simulator simulator(options);
    std::string error;
    ASSERT_TRUE(simulator.start(error)) << error;

    const systemtest::CommandRun probe =
        systemtest::runCommand(openOcdProbe(openocd, simulator.rbbPort()), kTimeLimitSeconds);
    ASSERT_FALSE(probe.timedOut) << probe.output;
    const systemtest::CommandRun scan =
        systemtest::runCommand({KRV_CSE_HOST, "--node", "127.0.0.1", "--port",
                                std::to_string(simulator.udpPort()), "scan"},
                               kTimeLimitSeconds);
    ASSERT_EQ(scan.exitCode, 0) << scan.output;

    const std::vector<ListedDevice> byOpenOcd = systemtest::devicesFromOpenOcdProbe(probe.output);
    const std::vector<ListedDevice> byPlugin = systemtest::devicesFromHostScan(scan.output);
    ASSERT_EQ(byOpenOcd.size(), demoChainDevices().size()) << probe.output;
    EXPECT_EQ(byOpenOcd, byPlugin) << "OpenOCD: " << systemtest::describe(byOpenOcd)
                                   << "\nplug-in: " << systemtest::describe(byPlugin);
    EXPECT_EQ(byPlugin, demoChainDevices()) << systemtest::describe(byPlugin);
    EXPECT_GT(simulator.counters().rbbClocks, 0u);  // OpenOCD did go through remote_bitbang
}

// OpenOCD counts from the TDO end; a listing read the other way round would still "agree" on a
// symmetric chain, so the order is pinned here on an asymmetric one.
TEST(ChainListingsTest, OpenOcdProbeIsTurnedAroundToStartAtTdi) {
    const std::string log =
        "Info : TAP auto0.tap does not have valid IDCODE\n"
        "Info : JTAG tap: auto1.tap tap/device found: 0x27a31eff (part: 0x7a31, ver: 0x2)\n"
        "Warn : AUTO auto0.tap - use \"jtag newtap auto0 tap -irlen 4 -expected-id 0x00000000\"\n"
        "Warn : AUTO auto1.tap - use \"jtag newtap auto1 tap -irlen 8 -expected-id 0x27a31eff\"\n"
        "Warn : AUTO auto2.tap - use \"jtag newtap auto2 tap -irlen 6 -expected-id 0x151c0eff\"\n";
    const std::vector<ListedDevice> expected = {
        {0x151C0EFFu, 6}, {0x27A31EFFu, 8}, {std::nullopt, 4}};
    EXPECT_EQ(systemtest::devicesFromOpenOcdProbe(log), expected);
}

TEST(ChainListingsTest, HostScanRowsGiveIdcodesAndIrLengths) {
    const std::string table =
        "dev  idcode      version  part    bank  id    irlen\n"
        "  0  0x151C0EFF        1  0x51C0    15  0x7F      6\n"
        "  1  -                 -  -          -  -         ?\n"
        "2 devices\n";
    const std::vector<ListedDevice> expected = {{0x151C0EFFu, 6}, {std::nullopt, 0}};
    EXPECT_EQ(systemtest::devicesFromHostScan(table), expected);
}

}  // namespace
