// SPDX-License-Identifier: Apache-2.0
// The fault list of the command line: every item, the value forms, and the refusals.
#include <gtest/gtest.h>

#include "sim/QuorbitSim.h"
#include "sim/VirtualChain.h"

namespace {

using quorbit::FaultPlan;

TEST(FaultPlanParser, EmptyTextIsAnEmptyPlan) {
    FaultPlan plan;
    plan.silent = true;
    std::string error;
    ASSERT_TRUE(quorbit::parseFaultList("  ", plan, error)) << error;
    EXPECT_FALSE(plan.silent);
    EXPECT_EQ(plan.seed, 1u);
}

TEST(FaultPlanParser, EveryItemSetsItsField) {
    FaultPlan plan;
    std::string error;
    ASSERT_TRUE(quorbit::parseFaultList(
        "drop-in=0.1, drop-out=0.05,dup-reply,delay-reply=20ms,stale-first=0.5,"
        "busy-first,same-toggle-first,notify=0.25,token-first,tokens-between,sync-again,"
        "silent,silent-after=7,refuse,deny,spoof,restart-after=3,release-fails,"
        "attach-fails,ack-every=2,repeat-idle=2s,chatter=30ms,seed=42",
        plan, error))
        << error;
    EXPECT_DOUBLE_EQ(plan.dropIn, 0.1);
    EXPECT_DOUBLE_EQ(plan.dropOut, 0.05);
    EXPECT_DOUBLE_EQ(plan.duplicateReply, 1.0);
    EXPECT_EQ(plan.delayReplyMs, 20u);
    EXPECT_DOUBLE_EQ(plan.staleFirst, 0.5);
    EXPECT_DOUBLE_EQ(plan.busyFirst, 1.0);
    EXPECT_DOUBLE_EQ(plan.sameToggleFirst, 1.0);
    EXPECT_DOUBLE_EQ(plan.notify, 0.25);
    EXPECT_DOUBLE_EQ(plan.tokenFirst, 1.0);
    EXPECT_DOUBLE_EQ(plan.tokensBetween, 1.0);
    EXPECT_TRUE(plan.syncAgain);
    EXPECT_TRUE(plan.silent);
    EXPECT_EQ(plan.silentAfter, 7u);
    EXPECT_TRUE(plan.refuse);
    EXPECT_TRUE(plan.deny);
    EXPECT_DOUBLE_EQ(plan.spoof, 1.0);
    EXPECT_EQ(plan.restartAfter, 3u);
    EXPECT_TRUE(plan.releaseFails);
    EXPECT_TRUE(plan.attachFails);
    EXPECT_EQ(plan.ackEvery, 2u);
    EXPECT_EQ(plan.repeatIdleMs, 2000u);
    EXPECT_EQ(plan.chatterMs, 30u);
    EXPECT_EQ(plan.seed, 42u);
}

TEST(FaultPlanParser, PlainNumberForATimeMeansMilliseconds) {
    FaultPlan plan;
    std::string error;
    ASSERT_TRUE(quorbit::parseFaultList("delay-reply=15", plan, error)) << error;
    EXPECT_EQ(plan.delayReplyMs, 15u);
}

struct BadList {
    const char* name;
    const char* text;
    const char* error;
};

class FaultListErrorTest : public ::testing::TestWithParam<BadList> {};

TEST_P(FaultListErrorTest, RefusedWithTheOffendingItemAndThePlanUnchanged) {
    FaultPlan plan;
    plan.dropIn = 0.5;
    std::string error;
    EXPECT_FALSE(quorbit::parseFaultList(GetParam().text, plan, error));
    EXPECT_EQ(error, GetParam().error);
    EXPECT_DOUBLE_EQ(plan.dropIn, 0.5);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, FaultListErrorTest,
    ::testing::Values(
        BadList{"Unknown", "drop-in=0.1,explode", "unknown fault 'explode'"},
        BadList{"MissingValue", "drop-in", "fault 'drop-in' takes a probability between 0 and 1"},
        BadList{"ProbabilityAboveOne", "drop-out=1.5",
                "fault 'drop-out' takes a probability between 0 and 1, not '1.5'"},
        BadList{"ProbabilityNotANumber", "notify=often",
                "fault 'notify' takes a probability between 0 and 1, not 'often'"},
        BadList{"ValueOnAFlag", "silent=1", "fault 'silent' takes no value, not '1'"},
        BadList{"CountZero", "restart-after=0",
                "fault 'restart-after' takes a count from 1 to 1000000000, not '0'"},
        BadList{"BadTime", "delay-reply=20us",
                "fault 'delay-reply' takes a time such as 20ms (at most 1 hour), not '20us'"},
        BadList{"EmptyItem", "busy-first,,notify", "empty item in the fault list"},
        BadList{"TrailingComma", "busy-first,", "empty item in the fault list"},
        BadList{"NegativeSeed", "seed=-1", "fault 'seed' takes a decimal number, not '-1'"}),
    [](const ::testing::TestParamInfo<BadList>& info) { return info.param.name; });

}  // namespace

// Board faults: the text form, and each kind on the virtual chain's lines.
struct BoardFaultCase {
    const char* text;
    std::uint64_t irPath;  // what the demo chain's 18-bit IR path captures under the fault
};

class BoardFaultTest : public ::testing::TestWithParam<BoardFaultCase> {};

TEST_P(BoardFaultTest, ShowsOnTheCapturedIrPath) {
    quorbit::BoardFaults faults;
    std::string error;
    ASSERT_TRUE(quorbit::parseBoardFaults(GetParam().text, faults, error)) << error;
    const quorbit::ChainDescription chain = quorbit::defaultDemoChain();
    ASSERT_TRUE(quorbit::checkBoardFaults(faults, chain, error)) << error;
    quorbit::VirtualChain virtualChain(chain);
    virtualChain.setBoardFaults(faults);
    // Reset, then Shift-IR (TMS 1x5, 0, 1, 1, 0, 0), then 18 bits of TDI ones.
    for (const bool tms : {true, true, true, true, true, false, true, true, false, false})
        (void)virtualChain.clock(tms, true);
    std::uint8_t tdo[3] = {};
    const std::uint8_t ones[3] = {0xFF, 0xFF, 0xFF};
    virtualChain.shift(18, nullptr, ones, tdo, false);
    EXPECT_EQ(tdo[0] | tdo[1] << 8 | std::uint64_t{tdo[2]} << 16, GetParam().irPath);
}

INSTANTIATE_TEST_SUITE_P(Kinds, BoardFaultTest,
                         ::testing::Values(BoardFaultCase{"", 0x01011},
                                           BoardFaultCase{"tdo-stuck-0", 0},
                                           BoardFaultCase{"tdo-stuck-1", 0x3FFFF},
                                           BoardFaultCase{"tdo-echoes-tdi", 0x3FFFF},
                                           BoardFaultCase{"open-after=0", 0x3F011},
                                           BoardFaultCase{"open-after=1", 0x3FFF1},
                                           // the last device: the line to the pin is open
                                           BoardFaultCase{"open-after=2", 0x3FFFF},
                                           BoardFaultCase{"ir-capture=1:0x3A", 0x013A1}));

TEST(BoardFaults, RefusesKindsAndDevicesThatDoNotFit) {
    quorbit::BoardFaults faults;
    std::string error;
    EXPECT_FALSE(quorbit::parseBoardFaults("tdo-stuck-2", faults, error));
    EXPECT_NE(error.find("unknown board fault 'tdo-stuck-2'"), std::string::npos);
    ASSERT_TRUE(quorbit::parseBoardFaults("ir-capture=2:0x1F", faults, error));
    EXPECT_FALSE(quorbit::checkBoardFaults(faults, quorbit::defaultDemoChain(), error));
    EXPECT_EQ(error, "ir-capture: the value does not fit device 2's IR of 4 bits");
}
