// SPDX-License-Identifier: Apache-2.0
// The virtual chain's IEEE 1149.1 behaviour: IR capture and update, BYPASS, IDCODE after reset,
// user registers that keep what was written, and the order of devices between TDI and TDO.
#include <gtest/gtest.h>

#include <random>

#include "sim/VirtualChain.h"
#include "support/ChainDriver.h"

namespace {

using quorbit::ChainDescription;
using quorbit::DeviceDescription;
using quorbit::TapState;
using quorbit::VirtualChain;
using simtest::bitsOf;
using simtest::ChainDriver;
using simtest::valueOf;

constexpr std::uint32_t kOrbisIdcode = 0x151C0EFF;
constexpr std::uint32_t kTalpaIdcode = 0x27A31EFF;
constexpr unsigned kDemoIrBits = 6 + 8 + 4;

// IR stream for the demo chain: the device nearest TDO (nerid) takes the first bits.
simtest::BitBytes demoIr(std::uint64_t orbis, std::uint64_t talpa, std::uint64_t nerid) {
    return bitsOf(nerid | (talpa << 4) | (orbis << 12), kDemoIrBits);
}

class DemoChainTest : public ::testing::Test {
  protected:
    VirtualChain chain{quorbit::defaultDemoChain()};
    ChainDriver driver{chain};
};

TEST_F(DemoChainTest, AfterResetADrScanReadsBypassThenBothIdcodes) {
    driver.resetToIdle();
    const auto tdo = driver.scanDr(simtest::BitBytes(9, 0xFF), 65);
    EXPECT_EQ(valueOf(tdo, 0, 1), 0u) << "nerid has no IDCODE: its BYPASS captures 0";
    EXPECT_EQ(valueOf(tdo, 1, 32), kTalpaIdcode);
    EXPECT_EQ(valueOf(tdo, 33, 32), kOrbisIdcode);
    EXPECT_EQ(chain.state(), TapState::RunTestIdle);
}

TEST_F(DemoChainTest, CaptureIrLoadsZeroOneIntoEveryDevice) {
    driver.resetToIdle();
    const auto tdo = driver.scanIr(demoIr(0x3F, 0xFF, 0xF), kDemoIrBits);
    EXPECT_EQ(valueOf(tdo, 0, kDemoIrBits), 1u | (1u << 4) | (1u << 12));
}

TEST_F(DemoChainTest, InstructionTakesEffectOnlyInUpdateIr) {
    driver.resetToIdle();
    driver.tms({1, 1, 0, 0});  // Shift-IR
    const auto ir = demoIr(0x3F, 0x22, 0xF);
    chain.shift(kDemoIrBits, nullptr, ir.data(), nullptr, true);
    EXPECT_EQ(chain.state(), TapState::Exit1Ir);
    driver.tms({0, 1});  // Pause-IR, Exit2-IR
    EXPECT_EQ(chain.instruction(1), 0x0Eu) << "still IDCODE before Update-IR";
    driver.tms({1});
    EXPECT_EQ(chain.state(), TapState::UpdateIr);
    EXPECT_EQ(chain.instruction(0), 0x3Fu);
    EXPECT_EQ(chain.instruction(1), 0x22u);
    EXPECT_EQ(chain.instruction(2), 0xFu);
}

TEST_F(DemoChainTest, BypassIsOneBitThatCapturesZero) {
    driver.resetToIdle();
    driver.scanIr(demoIr(0x3F, 0xFF, 0xF), kDemoIrBits);
    const std::uint64_t pattern = 0xB5;
    const auto tdo = driver.scanDr(bitsOf(pattern, 11), 11);
    EXPECT_EQ(valueOf(tdo, 0, 3), 0u);
    EXPECT_EQ(valueOf(tdo, 3, 8), pattern);
}

TEST_F(DemoChainTest, UnknownOpcodeSelectsBypass) {
    driver.resetToIdle();
    driver.scanIr(demoIr(0x05, 0x41, 0x3), kDemoIrBits);
    const auto tdo = driver.scanDr(bitsOf(0x1, 4), 4);
    EXPECT_EQ(valueOf(tdo, 0, 4), 0x8u) << "three captured zeros, then the first bit shifted in";
}

TEST_F(DemoChainTest, UserRegisterReadsBackWhatWasLastWritten) {
    driver.resetToIdle();
    driver.scanIr(demoIr(0x3F, 0x22, 0xF), kDemoIrBits);
    const std::uint64_t written = 0xA5C3E1;
    driver.scanDr(bitsOf(written << 1, 26), 26);
    const auto tdo = driver.scanDr(bitsOf(0, 26), 26);
    EXPECT_EQ(valueOf(tdo, 1, 24), written);
    std::vector<std::uint8_t> held;
    ASSERT_TRUE(chain.userRegister(1, 0x22, held));
    EXPECT_EQ(valueOf(held, 0, 24), 0u) << "the second scan wrote zeros";
}

TEST_F(DemoChainTest, SeventyTwoBitRegisterKeepsBitsAcrossTheWordBoundary) {
    driver.resetToIdle();
    driver.scanIr(demoIr(0x3F, 0x23, 0xF), kDemoIrBits);
    simtest::BitBytes value(10, 0);
    for (std::size_t i = 0; i < 9; ++i) value[i] = static_cast<std::uint8_t>(0x3B * (i + 1));
    // Shift in one bypass bit's worth of padding for nerid first: the data sit at bits 1..72.
    simtest::BitBytes in(10, 0);
    for (unsigned k = 0; k < 72; ++k) {
        if ((value[k / 8] >> (k % 8)) & 1u)
            in[(k + 1) / 8] |= static_cast<std::uint8_t>(1u << ((k + 1) % 8));
    }
    driver.scanDr(in, 74);
    std::vector<std::uint8_t> held;
    ASSERT_TRUE(chain.userRegister(1, 0x23, held));
    ASSERT_EQ(held.size(), 9u);
    EXPECT_EQ(std::vector<std::uint8_t>(value.begin(), value.begin() + 9), held);
    const auto tdo = driver.scanDr(simtest::BitBytes(10, 0), 74);
    EXPECT_EQ(valueOf(tdo, 1, 64), valueOf(value, 0, 64));
    EXPECT_EQ(valueOf(tdo, 65, 8), valueOf(value, 64, 8));
}

TEST_F(DemoChainTest, DataShiftedButNeverUpdatedLeavesTheRegisterAsItWas) {
    driver.resetToIdle();
    driver.scanIr(demoIr(0x3F, 0x22, 0xF), kDemoIrBits);
    driver.scanDr(bitsOf(0x123456ull << 1, 26), 26);
    driver.tms({1, 0, 0});  // Shift-DR
    const auto other = bitsOf(0xFFFFFFull << 1, 26);
    chain.shift(20, nullptr, other.data(), nullptr, false);
    chain.resetAsync();  // TRST before Update-DR
    std::vector<std::uint8_t> held;
    ASSERT_TRUE(chain.userRegister(1, 0x22, held));
    EXPECT_EQ(valueOf(held, 0, 24), 0x123456u);
    EXPECT_EQ(chain.state(), TapState::TestLogicReset);
}

TEST_F(DemoChainTest, TestLogicResetSelectsIdcodeOrBypass) {
    driver.resetToIdle();
    driver.scanIr(demoIr(0x01, 0x22, 0x2), kDemoIrBits);
    driver.tms({1, 1, 1});  // Run-Test/Idle to Test-Logic-Reset
    EXPECT_EQ(chain.state(), TapState::TestLogicReset);
    EXPECT_EQ(chain.instruction(0), 0x09u);
    EXPECT_EQ(chain.instruction(1), 0x0Eu);
    EXPECT_EQ(chain.instruction(2), 0xFu);
}

TEST_F(DemoChainTest, TdoIsPulledHighOutsideTheShiftStates) {
    driver.resetToIdle();
    EXPECT_TRUE(chain.tdo());
    driver.tms({1, 0, 0});  // Shift-DR: nerid's BYPASS captured 0
    EXPECT_FALSE(chain.tdo());
}

TEST_F(DemoChainTest, ListenerHearsEveryStateChangeButNotTheSelfLoops) {
    std::vector<TapState> seen;
    chain.setTransitionListener([&](TapState, TapState to) { seen.push_back(to); });
    driver.resetToIdle();
    driver.tms({0, 0, 1, 0, 0, 0, 0});
    const std::vector<TapState> expected = {TapState::RunTestIdle, TapState::SelectDrScan,
                                            TapState::CaptureDr, TapState::ShiftDr};
    EXPECT_EQ(seen, expected);
}

TEST(VirtualChainSpec, InvalidSpecGivesAnEmptyChain) {
    ChainDescription description;
    description.devices.push_back(DeviceDescription{"broken", 1, std::nullopt, 0, {}});
    VirtualChain chain(description);
    EXPECT_EQ(chain.deviceCount(), 0u);
    EXPECT_TRUE(chain.clock(false, false));  // a chain with no device drives nothing
}

// A probe device with a 40-bit user register, first, in the middle, last or alone in a chain.
struct Placement {
    const char* name;
    std::size_t devices;
    std::size_t probe;
};

class ProbePlacementTest : public ::testing::TestWithParam<Placement> {};

TEST_P(ProbePlacementTest, UserRegisterSitsBehindOneBypassBitPerDeviceNearerTdo) {
    const Placement placement = GetParam();
    ChainDescription description;
    for (std::size_t i = 0; i < placement.devices; ++i) {
        DeviceDescription device;
        device.name = "d" + std::to_string(i);
        device.irLength = 5;
        device.idcode = 0x00001001u | static_cast<std::uint32_t>(i << 12);
        device.idcodeOpcode = 0x02;
        if (i == placement.probe) device.userRegisters = {{0x11, 40}};
        description.devices.push_back(device);
    }
    VirtualChain chain(description);
    ChainDriver driver(chain);
    driver.resetToIdle();
    // IR: the probe gets 0x11, the others BYPASS; the last device takes the first five bits.
    std::uint64_t ir = 0;
    for (std::size_t i = 0; i < placement.devices; ++i) {
        const std::uint64_t opcode = i == placement.probe ? 0x11 : 0x1F;
        ir |= opcode << (5 * (placement.devices - 1 - i));
    }
    driver.scanIr(bitsOf(ir, static_cast<unsigned>(5 * placement.devices)),
                  static_cast<unsigned>(5 * placement.devices));
    const unsigned before = static_cast<unsigned>(placement.devices - 1 - placement.probe);
    const unsigned total = 40 + static_cast<unsigned>(placement.devices) - 1;
    const std::uint64_t value = 0xC0FFEE1234ull;
    driver.scanDr(bitsOf(value << before, total), total);
    const auto tdo = driver.scanDr(bitsOf(0, total), total);
    EXPECT_EQ(valueOf(tdo, before, 40), value);
    EXPECT_EQ(valueOf(tdo, 0, before), 0u) << "bypass bits nearer TDO capture 0";
}

INSTANTIATE_TEST_SUITE_P(Positions, ProbePlacementTest,
                         ::testing::Values(Placement{"First", 3, 0}, Placement{"Middle", 3, 1},
                                           Placement{"Last", 3, 2}, Placement{"Alone", 1, 0}),
                         [](const ::testing::TestParamInfo<Placement>& info) {
                             return info.param.name;
                         });

TEST(VirtualChainWide, ThousandBitRegisterRoundTripsRandomData) {
    ChainDescription description;
    DeviceDescription device;
    device.name = "wide";
    device.irLength = 4;
    device.userRegisters = {{0x3, 1000}};
    description.devices.push_back(device);
    VirtualChain chain(description);
    ChainDriver driver(chain);
    driver.resetToIdle();
    driver.scanIr(bitsOf(0x3, 4), 4);
    std::mt19937 random(7);
    simtest::BitBytes data(125);
    for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
    driver.scanDr(data, 1000);
    std::vector<std::uint8_t> held;
    ASSERT_TRUE(chain.userRegister(0, 0x3, held));
    EXPECT_EQ(held, data);
    EXPECT_EQ(driver.scanDr(simtest::BitBytes(125, 0), 1000), data);
}

}  // namespace
