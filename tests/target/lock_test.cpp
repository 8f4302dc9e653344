// SPDX-License-Identifier: Apache-2.0
// Lock and unlock on the debugger: the reset on the wire, the framework's messages passed through,
// and the release of the TAP access.
#include <gtest/gtest.h>

#include "remote/RemoteLinkTesting.h"
#include "support/SimulatedTarget.h"

namespace {

using namespace targettest;

constexpr uint32_t kDebug = 0x8000;
constexpr uint16_t kTmsOnly = 0x0001;

class Lock : public SimulatedTargetTest {};

TEST_F(Lock, SendsSixOnesThenOneZeroAndEndsInRunTestIdle) {
    startSimulator();
    ASSERT_EQ(openTarget(), CSE_SUCCESS);
    simulator->resetInspection();
    // Start from somewhere else, so the reset really has work to do.
    ASSERT_EQ(plugin->lockTarget(0), CSE_SUCCESS);
    ASSERT_EQ(plugin->navigateTAP(CSEJTAG_PAUSE_IR, 0), CSE_SUCCESS);
    ASSERT_EQ(plugin->unlockTarget(), CSE_SUCCESS);
    simulator->resetInspection();

    ASSERT_EQ(plugin->lockTarget(0), CSE_SUCCESS);
    const auto shifts = rawShifts();
    ASSERT_EQ(shifts.size(), 2u);
    EXPECT_EQ(shifts[0].optionWord, kTmsOnly);
    EXPECT_EQ(shifts[0].bitCount, 6u);
    EXPECT_EQ(shifts[0].tms, std::vector<uint8_t>{0xFF});
    EXPECT_EQ(shifts[0].endState, quorbit::TapState::TestLogicReset);
    EXPECT_EQ(shifts[1].optionWord, kTmsOnly);
    EXPECT_EQ(shifts[1].bitCount, 1u);
    ASSERT_EQ(shifts[1].tms.size(), 1u);
    EXPECT_EQ(shifts[1].tms[0] & 1u, 0u);
    EXPECT_EQ(simulatorState(), CSEJTAG_RUN_TEST_IDLE);
    EXPECT_EQ(plugin->getTAPState(), CSEJTAG_RUN_TEST_IDLE);
}

class LockUnanswered : public SimulatedTargetTest,
                       public ::testing::WithParamInterface<unsigned> {};

// The front end falls silent after the open's two requests (the reset goes unanswered) or after
// the reset (the walk does): the lock fails rather than leave the TAP anywhere.
TEST_P(LockUnanswered, FailsTheLock) {
    quorbit::SimOptions options;
    options.faults.silentAfter = GetParam();
    startSimulator(options);
    ASSERT_EQ(openTarget(), CSE_SUCCESS);
    LinkSetTimeoutsForTest(20000, 20000);  // the missing reply is waited for on purpose
    EXPECT_EQ(plugin->lockTarget(0), CSE_FAILURE);
}

INSTANTIATE_TEST_SUITE_P(ResetAndWalk, LockUnanswered, ::testing::Values(2u, 3u));

TEST_F(Lock, TracesTheTargetsShareAroundTheFrameworksLock) {
    startSimulator();
    ASSERT_EQ(openTarget(), CSE_SUCCESS);
    recorder.clear();
    ASSERT_EQ(plugin->lockTarget(0), CSE_SUCCESS);
    const std::vector<std::string> expected = {
        ">>Enter>> QXCsePlugin::lockTargetImpl()\n",
        ">>Enter>> QXCsePlugin::initializeTAPImpl()\n",
        "<<Exit<<  QXCsePlugin::initializeTAPImpl() : CSE_SUCCESS\n",
        ">>Enter>> QXCsePlugin::navigateTAPImpl()\n",
        "Exit navigateTAPimpl() with currentTapState = 1 \n",
        "<<Exit<<  QXCsePlugin::navigateTAPImpl() : CSE_SUCCESS\n",
        "<<Exit<<  QXCsePlugin::lockTargetImpl() : CSE_SUCCESS\n"};
    EXPECT_EQ(recorder.targetLines(), expected);
}

TEST_F(Lock, SecondLockSucceedsSendsNothingAndPassesOnTheFrameworksMessage) {
    startSimulator();
    openAndLock();
    EXPECT_EQ(plugin->lockTarget(0), CSE_SUCCESS);
    EXPECT_TRUE(rawShifts().empty());
    EXPECT_TRUE(recorder.hasLog(1, "<CsePlugin> Port already locked by same handle!\n"));
}

TEST_F(Lock, UnlockReleasesTheTapWithoutMovingIt) {
    startSimulator();
    openAndLock();
    ASSERT_EQ(plugin->navigateTAP(CSEJTAG_PAUSE_DR, 0), CSE_SUCCESS);
    simulator->resetInspection();
    recorder.clear();
    EXPECT_EQ(plugin->unlockTarget(), CSE_SUCCESS);
    EXPECT_TRUE(rawShifts().empty());
    EXPECT_FALSE(simulator->tapAccessOpen());
    EXPECT_EQ(simulatorState(), CSEJTAG_PAUSE_DR);
    EXPECT_EQ(plugin->getTAPState(), CSEJTAG_PAUSE_DR);
    EXPECT_TRUE(
        recorder.hasMessage(kDebug, "KORAVEN: navigateTAPImpl() called in unlocked mode \n"));
    // Navigation is off again: a later navigation is refused by the framework's guard.
    EXPECT_EQ(plugin->navigateTAP(CSEJTAG_RUN_TEST_IDLE, 0), CSE_FAILURE);
}

TEST_F(Lock, UnlockWithoutLockStillReleasesAndSucceeds) {
    startSimulator();
    ASSERT_EQ(openTarget(), CSE_SUCCESS);
    simulator->resetInspection();
    recorder.clear();
    EXPECT_EQ(plugin->unlockTarget(), CSE_SUCCESS);
    EXPECT_TRUE(recorder.hasLog(1, "<CsePlugin> Port lock not owned by this process\n"));
    EXPECT_EQ(simulator->counters().requests, 1u) << "only the release";
}

TEST_F(Lock, FailingReleaseDuringUnlockIsOnlyReported) {
    quorbit::SimOptions options;
    options.faults.releaseFails = true;
    startSimulator(options);
    openAndLock();
    EXPECT_EQ(plugin->unlockTarget(), CSE_SUCCESS);
    EXPECT_TRUE(recorder.hasMessage(
        kDebug, "KORAVEN: Setting errorCode to CSE_FAILURE (but returning CSE_SUCCESS!)"));
}

TEST_F(Lock, ResetWorksOnAnUnlockedTarget) {
    startSimulator();
    ASSERT_EQ(openTarget(), CSE_SUCCESS);
    simulator->resetInspection();
    EXPECT_EQ(plugin->initializeTAP(), CSE_SUCCESS);
    ASSERT_EQ(rawShifts().size(), 1u);
    EXPECT_EQ(simulatorState(), CSEJTAG_TEST_LOGIC_RESET);
}

}  // namespace
