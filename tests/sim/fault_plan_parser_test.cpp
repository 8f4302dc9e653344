// The fault list of the command line: every item, the value forms, and the refusals.
#include <gtest/gtest.h>

#include "sim/QuorbitSim.h"

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
