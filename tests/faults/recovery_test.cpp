// SPDX-License-Identifier: Apache-2.0
// Faults whose effect is pinned down exactly: where a session breaks, what the failing call leaves
// behind, and that the next open on the same front end or a new one works again.
#include <gtest/gtest.h>

#include "remote/RemoteLink.h"
#include "remote/RemoteLinkTesting.h"
#include "support/FaultChain.h"
#include "support/FaultSession.h"

namespace faults {
namespace {

class RecoveryTest : public FaultSession {
  protected:
    // Requests the emulator has executed for a fresh openAndPrepare: the same calls always send
    // the same requests, so a fault can be placed right after them.
    uint64_t requestsToPrepare() {
        startSimulator(quorbit::FaultPlan());
        EXPECT_TRUE(openAndPrepare());
        const uint64_t requests = simulator->counters().requests;
        (void)close();
        return requests;
    }
};

// The front end forgets the link after the scan and says so to the next request: the plug-in
// connects to it again by itself, and the script (which loads its instructions first) goes on.
TEST_F(RecoveryTest, RestartMidSessionIsConnectedToAgainWithoutAReopen) {
    const uint64_t prepared = requestsToPrepare();
    quorbit::FaultPlan plan;
    plan.restartAfter = static_cast<unsigned>(prepared);
    ASSERT_NO_FATAL_FAILURE(startSimulator(plan));
    ASSERT_TRUE(openAndPrepare());
    const uint64_t failuresBefore = counts.failures;
    const int openingsBefore = openings;
    EXPECT_TRUE(runScript()) << ::testing::PrintToString(failedCalls);
    EXPECT_EQ(counts.failures, failuresBefore);
    EXPECT_EQ(counts.wrong, 0u) << ::testing::PrintToString(wrongResults);
    EXPECT_EQ(openings, openingsBefore);
    EXPECT_EQ(simulator->counters().connects, 2u);
}

TEST_F(RecoveryTest, SilenceBetweenPiecesOfALongShiftKeepsTheBitsOfTheFirstPiece) {
    const uint64_t prepared = requestsToPrepare();
    // After the scan: the walk to Shift-DR and the first piece are answered, the second is not.
    quorbit::FaultPlan plan;
    plan.silentAfter = static_cast<unsigned>(prepared + 2);
    ASSERT_NO_FATAL_FAILURE(startSimulator(plan));
    useTimeouts(kShortHandshakeMicros, kShortReplyMicros);
    ASSERT_TRUE(openAndPrepare());

    constexpr uint32_t kBits = 300000;
    constexpr uint32_t kFirstPieceBits = 122816;
    const std::vector<uint8_t> tdi = patternBits(kBits, 3);
    std::vector<uint8_t> tdo(tdi.size(), 0x3C);
    EXPECT_EQ(plugin->shiftChainDR(tdi.data(), tdo.data(), nullptr, nullptr, kBits,
                                   CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_FAILURE);
    // The captured IDCODE and BYPASS registers lead, then TDI comes back.
    const std::vector<soak::Trit> expected = modelShift(false, tdi, kBits, soak::Tap::Idle);
    for (uint32_t k = 0; k < kFirstPieceBits; ++k) {
        ASSERT_EQ(soak::bufferBit(tdo.data(), k) ? 1 : 0, expected[k]) << "bit " << k;
    }
    for (size_t byte = kFirstPieceBits / 8; byte < tdo.size(); ++byte) {
        ASSERT_EQ(tdo[byte], 0x3C) << "byte " << byte << " was written without a reply";
    }
    EXPECT_EQ(plugin->getTAPState(), CSEJTAG_SHIFT_DR);
    EXPECT_EQ(close(), CSE_FAILURE) << "the release is not answered either";

    ASSERT_NO_FATAL_FAILURE(startSimulator(quorbit::FaultPlan()));
    useTimeouts(kPatientMicros, kPatientMicros);
    EXPECT_EQ(runRounds(1), 1);
}

TEST_F(RecoveryTest, ReleaseThatFailsMakesOnlyTheCloseFail) {
    quorbit::FaultPlan plan;
    plan.releaseFails = true;
    ASSERT_NO_FATAL_FAILURE(startSimulator(plan));
    ASSERT_TRUE(openAndPrepare());
    EXPECT_TRUE(runScript());
    EXPECT_EQ(plugin->unlockTarget(), CSE_SUCCESS);
    EXPECT_EQ(close(), CSE_FAILURE);
    EXPECT_FALSE(plugin->isOpened());
    EXPECT_TRUE(openAndPrepare());
    EXPECT_TRUE(runScript());
    EXPECT_EQ(counts.wrong, 0u) << ::testing::PrintToString(wrongResults);
}

TEST_F(RecoveryTest, NotificationsStayBoundedAndCloseReleasesThem) {
    quorbit::FaultPlan plan;
    plan.notify = 1.0;
    plan.tokensBetween = 1.0;
    ASSERT_NO_FATAL_FAILURE(startSimulator(plan));
    ASSERT_TRUE(openAndPrepare());
    ASSERT_TRUE(runScript());
    EXPECT_GT(KRV_NotificationCount(), 0);
    EXPECT_LE(KRV_NotificationCount(), 64);
    EXPECT_EQ(close(), CSE_SUCCESS);
    EXPECT_EQ(KRV_NotificationCount(), 0);
}

TEST_F(RecoveryTest, ReopenWhileOpenOnAFrontEndThatVanishedGoesToTheNewOne) {
    ASSERT_NO_FATAL_FAILURE(startSimulator(quorbit::FaultPlan()));
    ASSERT_TRUE(openAndPrepare());
    // The front end goes away without a word; a new one comes up on another port.
    ASSERT_NO_FATAL_FAILURE(startSimulator(quorbit::FaultPlan()));
    useTimeouts(kShortHandshakeMicros, kShortReplyMicros);
    EXPECT_FALSE(runScript());
    EXPECT_EQ(close(), CSE_FAILURE);
    useTimeouts(kPatientMicros, kPatientMicros);
    EXPECT_EQ(runRounds(1), 1);
    EXPECT_EQ(counts.wrong, 0u) << ::testing::PrintToString(wrongResults);
}

}  // namespace
}  // namespace faults
