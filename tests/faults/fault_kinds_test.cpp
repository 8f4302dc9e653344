// SPDX-License-Identifier: Apache-2.0
// Every fault kind of quorbit-sim against real operations through the debugger target: each call
// either succeeds with exactly the bits the independent model expects, or fails; afterwards the
// same plug-in object closes, opens again and runs the whole pass cleanly.
#include <gtest/gtest.h>

#include <string>

#include "support/FaultSession.h"

namespace faults {
namespace {

enum class Expect {
    AllSucceed,  // the protocol absorbs the fault: no call may fail
    EitherWay,   // calls may fail, but none may succeed wrongly
    OpenFails,   // no session can be opened while the fault lasts
};

struct FaultCase {
    const char* name;
    const char* plan;  // quorbit-sim's text form
    Expect expect;
};

void PrintTo(const FaultCase& fault, std::ostream* out) {
    *out << fault.plan;
}

class FaultKindTest : public FaultSession, public ::testing::WithParamInterface<FaultCase> {
  protected:
    quorbit::FaultPlan plan() const {
        quorbit::FaultPlan parsed;
        std::string error;
        EXPECT_TRUE(quorbit::parseFaultList(GetParam().plan, parsed, error)) << error;
        return parsed;
    }
};

TEST_P(FaultKindTest, EveryCallIsRightOrFailsAndTheNextOpenRecovers) {
    const FaultCase& fault = GetParam();
    ASSERT_NO_FATAL_FAILURE(startSimulator(plan()));
    if (fault.expect == Expect::AllSucceed) {
        useTimeouts(kPatientMicros, kPatientMicros);
    } else {
        useTimeouts(kShortHandshakeMicros, kShortReplyMicros);
    }
    const int rounds = fault.expect == Expect::OpenFails ? 1 : 5;
    const int complete = runRounds(rounds);
    printFigures("under the fault");

    EXPECT_EQ(counts.wrong, 0u) << ::testing::PrintToString(wrongResults);
    switch (fault.expect) {
        case Expect::AllSucceed:
            EXPECT_EQ(complete, rounds);
            EXPECT_EQ(counts.failures, 0u) << ::testing::PrintToString(failedCalls);
            break;
        case Expect::EitherWay:
            break;
        case Expect::OpenFails:
            EXPECT_EQ(openings, 0);
            break;
    }

    // Recovery: the same object and the process-wide link, now against a front end without faults.
    ASSERT_NO_FATAL_FAILURE(startSimulator(quorbit::FaultPlan()));
    useTimeouts(kPatientMicros, kPatientMicros);
    const CallCounts before = counts;
    EXPECT_EQ(runRounds(1), 1);
    EXPECT_EQ(counts.failures, before.failures) << ::testing::PrintToString(failedCalls);
    EXPECT_EQ(counts.wrong, 0u) << ::testing::PrintToString(wrongResults);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultKindTest,
    ::testing::Values(
        FaultCase{"LossFromHost", "drop-in=0.01,seed=11", Expect::EitherWay},
        FaultCase{"LossToHost", "drop-out=0.01,seed=12", Expect::EitherWay},
        FaultCase{"LossBothWays", "drop-in=0.01,drop-out=0.01,seed=13", Expect::EitherWay},
        // A copy that arrives while a long request waits for a flow token fails that request (the
        // wait takes any datagram but a one-byte one as a failed receive); the session recovers.
        FaultCase{"DuplicateReplies", "dup-reply", Expect::EitherWay},
        FaultCase{"DelayedReplies", "delay-reply=10", Expect::AllSucceed},
        FaultCase{"RepliesLaterThanTheTimeOut", "delay-reply=300", Expect::OpenFails},
        FaultCase{"StaleIds", "stale-first", Expect::AllSucceed},
        FaultCase{"Status254First", "busy-first", Expect::AllSucceed},
        // Right after a connect any toggle is taken, so the look-alike is accepted and the real
        // reply trails by one, with the same effect on flow-control waits as a duplicate.
        FaultCase{"SameToggleFirst", "same-toggle-first", Expect::EitherWay},
        FaultCase{"NotificationsFirst", "notify", Expect::AllSucceed},
        FaultCase{"TokenFirst", "token-first", Expect::AllSucceed},
        FaultCase{"TokensBetweenFragments", "tokens-between", Expect::AllSucceed},
        FaultCase{"SyncAgain", "sync-again", Expect::AllSucceed},
        FaultCase{"AcknowledgementsAsked", "ack-every=2", Expect::AllSucceed},
        // A repeat that lands in a long request's flow-control wait fails it like a duplicate.
        FaultCase{"IdleRepeats", "repeat-idle=5", Expect::EitherWay},
        FaultCase{"SpoofedReplies", "spoof", Expect::AllSucceed},
        FaultCase{"EveryHarmlessDecorationAtOnce",
                  "stale-first,busy-first,notify,token-first,tokens-between,spoof,ack-every=3",
                  Expect::AllSucceed},
        FaultCase{"EveryDecorationAtOnce",
                  "dup-reply,same-toggle-first,stale-first,busy-first,notify,token-first,"
                  "tokens-between,spoof,ack-every=3",
                  Expect::EitherWay},
        FaultCase{"Silence", "silent", Expect::OpenFails},
        // Chatter every quarter of the reply time-out must not keep the caller waiting.
        FaultCase{"ChatterWithoutAnswers", "chatter=20ms", Expect::OpenFails},
        FaultCase{"SilenceMidSession", "silent-after=9", Expect::EitherWay},
        FaultCase{"RestartMidSession", "restart-after=9", Expect::EitherWay},
        FaultCase{"Refused", "refuse", Expect::OpenFails},
        FaultCase{"Denied", "deny", Expect::OpenFails},
        FaultCase{"AttachFails", "attach-fails", Expect::OpenFails},
        FaultCase{"LossAndDecorations",
                  "drop-in=0.005,drop-out=0.005,dup-reply=0.2,busy-first=0.2,tokens-between=0.3,"
                  "spoof=0.2,seed=5",
                  Expect::EitherWay}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace faults
