// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/framework/support/RecordingCallbacks.h"
#include "tests/framework/support/RecordingTarget.h"

namespace {

using namespace CsePluginInterface;
using krvtest::RecordingCallbacks;
using krvtest::RecordingTarget;
using Lines = std::vector<std::string>;

TEST(Lock, LockResetsThenGoesToRunTestIdle) {
    RecordingTarget target;
    RecordingCallbacks recorder;
    EXPECT_EQ(target.lockTarget(0xDEAD), CSE_SUCCESS);
    EXPECT_TRUE(target.isLocked());
    EXPECT_EQ(target.calls, (Lines{"initializeTAPImpl()", "navigateTAPImpl(1,0)"}));
    EXPECT_EQ(recorder.traces(),
              (Lines{"> CsePlugin::lockTarget", "  > CsePlugin::initializeTAP", "  < CSE_SUCCESS",
                     "  > CsePlugin::navigateTAP", "  < CSE_SUCCESS", "< CSE_SUCCESS"}));
    EXPECT_TRUE(recorder.hasLog(
        4,
        "CsePlugin::navigateTAP FROM CSEJTAG_TEST_LOGIC_RESET TO(CSEJTAG_RUN_TEST_IDLE,0) "
        "returning 0\n"));
}

TEST(Lock, LockUnlockTwiceGivesSuccessFailureSuccessFailure) {
    RecordingTarget target;
    RecordingCallbacks recorder;
    EXPECT_EQ(target.lockTarget(0), CSE_SUCCESS);
    EXPECT_EQ(target.lockTarget(0), CSE_FAILURE);
    EXPECT_TRUE(target.isLocked());
    EXPECT_EQ(target.unlockTarget(), CSE_SUCCESS);
    EXPECT_EQ(target.unlockTarget(), CSE_FAILURE);
    EXPECT_FALSE(target.isLocked());
    EXPECT_EQ(recorder.logs(1), (Lines{"<CsePlugin> Port already locked by same handle!\n",
                                       "<CsePlugin> Port lock not owned by this process\n"}));
    EXPECT_TRUE(recorder.tracesBalanced());
}

TEST(Lock, FailedNavigationKeepsTheLock) {
    RecordingTarget target;
    target.navigateResult = static_cast<CseResult>(0x80000002u);
    EXPECT_EQ(target.lockTarget(0), static_cast<CseResult>(0x80000002u));
    EXPECT_TRUE(target.isLocked());
}

TEST(Lock, FailedResetIsIgnored) {
    RecordingTarget target;
    target.initializeTAPResult = CSE_FAILURE;
    EXPECT_EQ(target.lockTarget(0), CSE_SUCCESS);
    EXPECT_EQ(target.calls, (Lines{"initializeTAPImpl()", "navigateTAPImpl(1,0)"}));
}

TEST(Lock, UnlockInRunTestIdleDoesNotNavigate) {
    RecordingTarget target;
    ASSERT_EQ(target.lockTarget(0), CSE_SUCCESS);
    target.calls.clear();
    EXPECT_EQ(target.unlockTarget(), CSE_SUCCESS);
    EXPECT_TRUE(target.calls.empty());
}

TEST(Lock, UnlockElsewhereNavigatesOnceWhileStillLocked) {
    RecordingTarget target;
    ASSERT_EQ(target.lockTarget(0), CSE_SUCCESS);
    target.tracker().set(CSEJTAG_PAUSE_DR);
    target.calls.clear();
    target.navigateResult = CSE_FAILURE;  // ignored by the unlock
    RecordingCallbacks recorder;
    EXPECT_EQ(target.unlockTarget(), CSE_SUCCESS);
    EXPECT_FALSE(target.isLocked());
    EXPECT_EQ(target.calls, (Lines{"navigateTAPImpl(1,0)"}));
    // The navigation passed the guard: no "not permitted" message.
    EXPECT_TRUE(recorder.logs(1).empty());
}

TEST(Lock, CleanLocksIsNotImplemented) {
    RecordingTarget target;
    RecordingCallbacks recorder;
    EXPECT_EQ(target.cleanLocks(), CSE_FAILURE);
    EXPECT_EQ(recorder.logs(2),
              (Lines{"CsePlugin::cleanLocksImpl() is not implemented for this Target\n"}));
    EXPECT_EQ(recorder.traces(),
              (Lines{"> CsePlugin::cleanLocks", "< CSE_FAILURE, ERROR CODE: 0"}));
}

TEST(Lock, SetLockedDeclaresTheLockWithoutTraceOrReset) {
    RecordingTarget target;
    RecordingCallbacks recorder;
    EXPECT_EQ(target.setLocked(true), CSE_SUCCESS);
    EXPECT_TRUE(recorder.events().empty());
    EXPECT_TRUE(target.calls.empty());
    EXPECT_EQ(target.navigateTAP(CSEJTAG_SHIFT_IR, 0), CSE_SUCCESS);
    EXPECT_EQ(target.calls, (Lines{"navigateTAPImpl(11,0)"}));
    EXPECT_EQ(target.setLocked(false), CSE_SUCCESS);
    EXPECT_EQ(target.navigateTAP(CSEJTAG_SHIFT_IR, 0), CSE_FAILURE);
}

TEST(Lock, DestructionDoesNotReleaseOrMove) {
    auto target = std::make_unique<RecordingTarget>();
    ASSERT_EQ(target->lockTarget(0), CSE_SUCCESS);
    target->calls.clear();
    RecordingCallbacks recorder;
    target.reset();
    EXPECT_EQ(recorder.traces(), (Lines{"> CsePlugin::~CsePlugin", "< "}));
}

}  // namespace
