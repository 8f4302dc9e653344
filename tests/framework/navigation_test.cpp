// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/PlatformSleepTesting.h"
#include "tests/framework/support/RecordingCallbacks.h"
#include "tests/framework/support/RecordingTarget.h"

namespace {

using namespace CsePluginInterface;
using krvtest::RecordingCallbacks;
using krvtest::RecordingTarget;
using krvtest::StateRecording;
using Lines = std::vector<std::string>;

class Navigation : public ::testing::Test {
  protected:
    void SetUp() override { recordSleepsForTesting(&sleeps); }
    void TearDown() override { recordSleepsForTesting(nullptr); }
    std::vector<uint32_t> sleeps;
};

TEST_F(Navigation, WithoutTheLockNothingHappens) {
    RecordingTarget target;
    RecordingCallbacks recorder;
    EXPECT_EQ(target.navigateTAP(CSEJTAG_SHIFT_DR, 0), CSE_FAILURE);
    EXPECT_EQ(target.navigateTAP(CSEJTAG_SHIFT_DR, 0, 5000), CSE_FAILURE);
    EXPECT_TRUE(target.calls.empty());
    EXPECT_TRUE(sleeps.empty());
    EXPECT_EQ(
        recorder.logs(1),
        (Lines(2, "<CsePlugin> Operation not permitted without obtaining an exclusive lock!\n")));
    EXPECT_EQ(recorder.traces(),
              (Lines{"> CsePlugin::navigateTAP", "< CSE_FAILURE, ERROR CODE: 0",
                     "> CsePlugin::navigateTAP", "< CSE_FAILURE, ERROR CODE: 0"}));
}

TEST_F(Navigation, TwoArgumentFormLogsFromAndTo) {
    RecordingTarget target;
    target.setLocked(true);
    target.tracker().set(CSEJTAG_PAUSE_IR);
    RecordingCallbacks recorder;
    EXPECT_EQ(target.navigateTAP(CSEJTAG_SHIFT_DR, 3), CSE_SUCCESS);
    EXPECT_EQ(target.calls, (Lines{"navigateTAPImpl(4,3)"}));
    EXPECT_EQ(recorder.logs(4),
              (Lines{"CsePlugin::navigateTAP FROM CSEJTAG_PAUSE_IR TO(CSEJTAG_SHIFT_DR,3) "
                     "returning 0\n"}));
}

TEST_F(Navigation, FailingImplIsReturnedAndLoggedAsNegative) {
    RecordingTarget target;
    target.setLocked(true);
    target.navigateResult = static_cast<CseResult>(0x80000011u);
    RecordingCallbacks recorder;
    EXPECT_EQ(target.navigateTAP(CSEJTAG_UPDATE_DR, 0), static_cast<CseResult>(0x80000011u));
    EXPECT_EQ(recorder.logs(4), (Lines{"CsePlugin::navigateTAP FROM CSEJTAG_TEST_LOGIC_RESET "
                                       "TO(CSEJTAG_UPDATE_DR,0) returning -2147483631\n"}));
    EXPECT_EQ(recorder.traces().back(), "< CSE_FAILURE, ERROR CODE: 11");
}

TEST_F(Navigation, WaitingFormNestsFlushesSleepsAndLogs) {
    RecordingTarget target;
    target.setLocked(true);
    RecordingCallbacks recorder;
    EXPECT_EQ(target.navigateTAP(CSEJTAG_SHIFT_DR, 0, 1500), CSE_SUCCESS);
    EXPECT_EQ(sleeps, (std::vector<uint32_t>{2}));
    EXPECT_EQ(
        recorder.transcript(),
        (Lines{"> CsePlugin::navigateTAP", "> CsePlugin::navigateTAP",
               "L4 CsePlugin::navigateTAP FROM CSEJTAG_TEST_LOGIC_RESET TO(CSEJTAG_SHIFT_DR,0) "
               "returning 0\n",
               "< CSE_SUCCESS", "> CsePlugin::flush",
               "L2 CsePlugin::flushImpl() is not implemented for this Target\n",
               "< CSE_FAILURE, ERROR CODE: 0",
               "L4 <CsePlugin> navigateTAPImpl:Slept for 1500 microSeconds...\n",
               "L4 CsePlugin::navigateTAP FROM CSEJTAG_TEST_LOGIC_RESET "
               "TO(CSEJTAG_SHIFT_DR,0,1500) returning 0\n",
               "< CSE_SUCCESS"}));
    EXPECT_TRUE(recorder.tracesBalanced());
}

TEST_F(Navigation, WaitZeroNeitherFlushesNorSleeps) {
    RecordingTarget target;
    target.setLocked(true);
    RecordingCallbacks recorder;
    EXPECT_EQ(target.navigateTAP(CSEJTAG_SHIFT_DR, 0, 0), CSE_SUCCESS);
    EXPECT_TRUE(sleeps.empty());
    EXPECT_EQ(recorder.traces(), (Lines{"> CsePlugin::navigateTAP", "  > CsePlugin::navigateTAP",
                                        "  < CSE_SUCCESS", "< CSE_SUCCESS"}));
}

TEST_F(Navigation, WaitHappensEvenWhenTheNavigationFails) {
    RecordingTarget target;
    target.setLocked(true);
    target.navigateResult = CSE_FAILURE;
    EXPECT_EQ(target.navigateTAP(CSEJTAG_SHIFT_DR, 0, 1), CSE_FAILURE);
    EXPECT_EQ(sleeps, (std::vector<uint32_t>{1}));
}

struct WaitRounding {
    uint32_t microseconds;
    uint32_t milliseconds;
};

class NavigationWait : public Navigation, public ::testing::WithParamInterface<WaitRounding> {};

TEST_P(NavigationWait, RoundsUpToWholeMilliseconds) {
    RecordingTarget target;
    target.setLocked(true);
    EXPECT_EQ(target.navigateTAP(CSEJTAG_RUN_TEST_IDLE, 0, GetParam().microseconds), CSE_SUCCESS);
    EXPECT_EQ(sleeps, (std::vector<uint32_t>{GetParam().milliseconds}));
}

INSTANTIATE_TEST_SUITE_P(Waits, NavigationWait,
                         ::testing::Values(WaitRounding{1, 1}, WaitRounding{999, 1},
                                           WaitRounding{1000, 1}, WaitRounding{1001, 2},
                                           WaitRounding{1500, 2},
                                           // No 32-bit wrap: about 71.6 minutes, not 0 ms.
                                           WaitRounding{4294967295u, 4294968u},
                                           WaitRounding{4294967000u, 4294967u}));

TEST_F(Navigation, TargetThatNeverRecordsStatesStaysInReset) {
    RecordingTarget target(StateRecording::Ignore);
    target.setLocked(true);
    RecordingCallbacks recorder;
    ASSERT_EQ(target.navigateTAP(CSEJTAG_SHIFT_IR, 0), CSE_SUCCESS);
    ASSERT_EQ(target.navigateTAP(CSEJTAG_EXIT1_DR, 1), CSE_SUCCESS);
    EXPECT_EQ(target.getTAPState(), CSEJTAG_TEST_LOGIC_RESET);
    EXPECT_EQ(recorder.traces().back(), "< CSEJTAG_TEST_LOGIC_RESET");
    for (const std::string& line : recorder.logs(4)) {
        EXPECT_EQ(line.rfind("CsePlugin::navigateTAP FROM CSEJTAG_TEST_LOGIC_RESET", 0), 0u)
            << line;
    }
}

TEST_F(Navigation, GetTapStateTracesTheRecordedStatesName) {
    RecordingTarget target;
    target.tracker().set(CSEJTAG_EXIT2_DR);
    RecordingCallbacks recorder;
    EXPECT_EQ(target.getTAPState(), CSEJTAG_EXIT2_DR);
    EXPECT_EQ(recorder.traces(), (Lines{"> CsePlugin::getTAPState", "< CSEJTAG_EXIT2_DR"}));
}

TEST_F(Navigation, InvalidStatesAreNamedInLogsAndNullInTheTrace) {
    RecordingTarget target;
    target.setLocked(true);
    target.tracker().set(static_cast<CseJtagTapState>(16));
    RecordingCallbacks recorder;
    EXPECT_EQ(target.getTAPState(), static_cast<CseJtagTapState>(16));
    EXPECT_EQ(recorder.traces().back(), "< 0 (NULL)");
    target.navigateResult = CSE_FAILURE;
    EXPECT_EQ(target.navigateTAP(static_cast<CseJtagTapState>(99), 0, 7), CSE_FAILURE);
    EXPECT_TRUE(recorder.hasLog(4,
                                "CsePlugin::navigateTAP FROM CSEJTAG_INVALID_STATE(16) "
                                "TO(CSEJTAG_INVALID_STATE(99),0) returning -2147483648\n"));
    EXPECT_TRUE(recorder.hasLog(4,
                                "CsePlugin::navigateTAP FROM CSEJTAG_INVALID_STATE(16) "
                                "TO(CSEJTAG_INVALID_STATE(99),0,7) returning -2147483648\n"));
}

TEST_F(Navigation, InitializeTapNeedsNoLock) {
    RecordingTarget target;
    RecordingCallbacks recorder;
    EXPECT_EQ(target.initializeTAP(), CSE_SUCCESS);
    EXPECT_EQ(target.calls, (Lines{"initializeTAPImpl()"}));
    EXPECT_EQ(recorder.traces(), (Lines{"> CsePlugin::initializeTAP", "< CSE_SUCCESS"}));
}

}  // namespace
