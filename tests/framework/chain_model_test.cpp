// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/framework/support/FakeChainTarget.h"
#include "tests/framework/support/RecordingCallbacks.h"

namespace {

using namespace CsePluginInterface;
using krvtest::FakeChainTarget;
using krvtest::RecordingCallbacks;
using Lines = std::vector<std::string>;

constexpr const char* kFailureText = "< CSE_FAILURE, ERROR CODE: 0";

class ChainModel : public ::testing::Test {
  protected:
    void SetUp() override { recorder.clear(); }

    // Three devices, IR lengths 6, 8 and 10, ID codes 0xA0..0xA2; the recorder starts empty.
    void setUpThreeDevices() {
        ASSERT_EQ(plugin.setDeviceCount(3), CSE_SUCCESS);
        const uint32_t lengths[] = {6, 8, 10};
        for (uint32_t i = 0; i < 3; ++i) {
            ASSERT_EQ(plugin.setIRLength(i, lengths[i]), CSE_SUCCESS);
            ASSERT_EQ(plugin.setDeviceID(i, 0xA0 + i), CSE_SUCCESS);
        }
        recorder.clear();
    }

    RecordingCallbacks recorder;
    FakeChainTarget plugin;
};

TEST_F(ChainModel, GettersTraceTheirValueInDecimal) {
    setUpThreeDevices();
    EXPECT_EQ(plugin.getDeviceCount(), 3u);
    EXPECT_EQ(plugin.getIRLength(2), 10u);
    EXPECT_EQ(plugin.getDeviceID(1), 0xA1u);
    EXPECT_EQ(recorder.traces(),
              (Lines{"> CsePlugin::getDeviceCount", "< 3", "> CsePlugin::getIRLength", "< 10",
                     "> CsePlugin::getDeviceID", "< 161"}));
}

TEST_F(ChainModel, AnIdCodeWithTheTopBitSetIsTracedNegative) {
    ASSERT_EQ(plugin.setDeviceCount(1), CSE_SUCCESS);
    ASSERT_EQ(plugin.setDeviceID(0, 0x80000001u), CSE_SUCCESS);
    recorder.clear();
    EXPECT_EQ(plugin.getDeviceID(0), 0x80000001u);
    EXPECT_EQ(recorder.traces().back(), "< -2147483647");
}

TEST_F(ChainModel, SetDeviceCountAcceptsUpTo255) {
    EXPECT_EQ(plugin.setDeviceCount(255), CSE_SUCCESS);
    EXPECT_TRUE(recorder.hasLog(4, "CsePlugin::setDeviceCount(255)\n"));
    EXPECT_EQ(plugin.getDeviceCount(), 255u);
}

TEST_F(ChainModel, SetDeviceCountRefuses256AndKeepsTheModel) {
    setUpThreeDevices();
    EXPECT_EQ(plugin.setDeviceCount(256), CSE_FAILURE);
    EXPECT_EQ(recorder.logs(1), Lines{"<CsePlugin> device count too large\n"});
    EXPECT_EQ(recorder.traces(), (Lines{"> CsePlugin::setDeviceCount", kFailureText}));
    EXPECT_EQ(plugin.chainModel().getCount(), 3u);
    EXPECT_EQ(plugin.chainModel().totalIRLength(), 24u);
}

TEST_F(ChainModel, TheSameCountKeepsCodesAndLengths) {
    setUpThreeDevices();
    EXPECT_EQ(plugin.setDeviceCount(3), CSE_SUCCESS);
    EXPECT_EQ(recorder.logs(), Lines{"CsePlugin::setDeviceCount(3) UNCHANGED\n"});
    EXPECT_TRUE(plugin.chainModel().allIRLengthsSet());
    EXPECT_EQ(plugin.chainModel().idCode(2), 0xA2u);
}

class ChangedCount : public ChainModel, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(ChangedCount, ForgetsEveryCodeAndLength) {
    setUpThreeDevices();
    const uint32_t count = GetParam();
    EXPECT_EQ(plugin.setDeviceCount(count), CSE_SUCCESS);
    EXPECT_EQ(recorder.logs(), Lines{"CsePlugin::setDeviceCount(" + std::to_string(count) + ")\n"});
    EXPECT_FALSE(plugin.chainModel().allIRLengthsSet());
    for (uint32_t i = 0; i < count; ++i) {
        EXPECT_EQ(plugin.chainModel().idCode(i), 0u);
        EXPECT_EQ(plugin.chainModel().irLength(i), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, ChangedCount, ::testing::Values(0u, 2u, 4u, 255u));

TEST_F(ChainModel, SetIRLengthLogsFirstAndRefusesADeviceOutOfBounds) {
    setUpThreeDevices();
    EXPECT_EQ(plugin.setIRLength(3, 4), CSE_FAILURE);
    EXPECT_EQ(recorder.logs(),
              (Lines{"CsePlugin::setIRLength(device=3, len=4)\n",
                     "<CsePlugin> ERROR:Attempted to set IRLength for device out of bounds\n"}));
    EXPECT_EQ(recorder.traces(), (Lines{"> CsePlugin::setIRLength", kFailureText}));
}

TEST_F(ChainModel, ALengthOfZeroMarksTheLengthUnsetAgain) {
    setUpThreeDevices();
    EXPECT_EQ(plugin.setIRLength(1, 0), CSE_SUCCESS);
    EXPECT_FALSE(plugin.chainModel().allIRLengthsSet());
    EXPECT_EQ(plugin.setIRLength(1, 8), CSE_SUCCESS);
    EXPECT_TRUE(plugin.chainModel().allIRLengthsSet());
}

TEST_F(ChainModel, SetIRLengthRefusesATotalBeyond32Bits) {
    ASSERT_EQ(plugin.setDeviceCount(2), CSE_SUCCESS);
    ASSERT_EQ(plugin.setIRLength(0, 0xFFFFFFF0u), CSE_SUCCESS);
    recorder.clear();
    EXPECT_EQ(plugin.setIRLength(1, 0x10), CSE_FAILURE);
    EXPECT_EQ(recorder.logs(1),
              Lines{"<CsePlugin> ERROR:IRLength 16 for device 1 makes the total IR length of the "
                    "chain overflow 32 bits\n"});
    EXPECT_EQ(plugin.chainModel().irLength(1), 0u);
    EXPECT_FALSE(plugin.chainModel().allIRLengthsSet());
    // The largest total that fits is accepted, and a device's own old length does not count.
    EXPECT_EQ(plugin.setIRLength(1, 0xF), CSE_SUCCESS);
    EXPECT_EQ(plugin.chainModel().totalIRLength(), 0xFFFFFFFFu);
    EXPECT_EQ(plugin.setIRLength(1, 0), CSE_SUCCESS);
    EXPECT_EQ(plugin.setIRLength(0, 0xFFFFFFFFu), CSE_SUCCESS);
}

TEST_F(ChainModel, GetDeviceIDOutOfRangeAnswersZeroWithTheCountMessage) {
    setUpThreeDevices();
    EXPECT_EQ(plugin.getDeviceID(3), 0u);
    EXPECT_EQ(recorder.logs(1), Lines{"<CsePlugin> device count too large\n"});
    EXPECT_EQ(recorder.traces(), (Lines{"> CsePlugin::getDeviceID", "< 0"}));
}

TEST_F(ChainModel, GetIRLengthOutOfRangeAnswersZeroSilently) {
    setUpThreeDevices();
    EXPECT_EQ(plugin.getIRLength(3), 0u);
    EXPECT_TRUE(recorder.logs().empty());
}

TEST_F(ChainModel, SetDeviceIDLogsFirstAndLeavesLengthsAlone) {
    setUpThreeDevices();
    EXPECT_EQ(plugin.setDeviceID(1, 0xABCD), CSE_SUCCESS);
    EXPECT_EQ(recorder.logs(), Lines{"CsePlugin::setDeviceID(1, abcd)\n"});
    EXPECT_EQ(plugin.chainModel().idCode(1), 0xABCDu);
    EXPECT_TRUE(plugin.chainModel().allIRLengthsSet());
}

TEST_F(ChainModel, SetDeviceIDRefusesADeviceOutOfBounds) {
    setUpThreeDevices();
    EXPECT_EQ(plugin.setDeviceID(3, 0x1), CSE_FAILURE);
    EXPECT_EQ(recorder.logs(), (Lines{"CsePlugin::setDeviceID(3, 1)\n",
                                      "<CsePlugin> device index out of bounds in setDeviceID\n"}));
    EXPECT_EQ(recorder.traces().back(), kFailureText);
}

TEST_F(ChainModel, PadBitGettersFollowTheModel) {
    setUpThreeDevices();
    EXPECT_EQ(plugin.getIRHeadingPadBits(2), 14u);
    EXPECT_EQ(plugin.getIRTrailingPadBits(0), 18u);
    EXPECT_EQ(plugin.getDRHeadingPadBits(1), 1u);
    EXPECT_EQ(plugin.getDRTrailingPadBits(0), 2);
    EXPECT_EQ(plugin.getIRHeadingPadBits(3), 0u);
    EXPECT_EQ(plugin.getIRTrailingPadBits(3), 0u);
    EXPECT_EQ(
        recorder.traces(),
        (Lines{"> CsePlugin::getIRHeadingPadBits", "< 14", "> CsePlugin::getIRTrailingPadBits",
               "< 18", "> CsePlugin::getDRHeadingPadBits", "< 1",
               "> CsePlugin::getDRTrailingPadBits", "< 2", "> CsePlugin::getIRHeadingPadBits",
               "< 0", "> CsePlugin::getIRTrailingPadBits", "< 0"}));
}

TEST_F(ChainModel, DRPadBitGettersHaveNoBoundCheck) {
    EXPECT_EQ(plugin.getDRTrailingPadBits(0), -1);
    EXPECT_EQ(recorder.traces().back(), "< -1");
    EXPECT_EQ(plugin.getDRHeadingPadBits(7), 7u);
}

}  // namespace
