// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
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

TEST(TargetInfoLayout, FieldsSitAtTheHostsOffsets) {
    EXPECT_EQ(sizeof(CseTargetInfo), 11268u);
    EXPECT_EQ(offsetof(CseTargetInfo, type), 0u);
    EXPECT_EQ(offsetof(CseTargetInfo, name), 8192u);
    EXPECT_EQ(offsetof(CseTargetInfo, version), 10240u);
    EXPECT_EQ(offsetof(CseTargetInfo, reserved), 11264u);
}

TEST(Lifecycle, ConstructionAndDestructionAreTracedWithEmptyResults) {
    RecordingCallbacks recorder;
    { RecordingTarget target; }
    EXPECT_EQ(recorder.traces(),
              (Lines{"> CsePlugin::CsePlugin", "< ", "> CsePlugin::~CsePlugin", "< "}));
}

TEST(Lifecycle, NewObjectIsClosedAndDescribesItself) {
    RecordingTarget target;
    EXPECT_FALSE(target.isOpened());
    uint32_t connected = 7;
    EXPECT_EQ(target.isConnected(&connected), CSE_SUCCESS);
    EXPECT_EQ(connected, 0u);
    uint32_t fileOutput = 7;
    EXPECT_EQ(target.isFileOutput(&fileOutput), CSE_SUCCESS);
    EXPECT_EQ(fileOutput, 0u);

    auto info = std::make_unique<CseTargetInfo>();
    std::memset(static_cast<void*>(info.get()), 0xEE, sizeof *info);
    ASSERT_EQ(target.getTargetInfo(info.get()), CSE_SUCCESS);
    EXPECT_EQ(info->type[0], '\0');
    EXPECT_STREQ(info->name, "CSE Plug-in");
    EXPECT_STREQ(info->version, "CsePlugin Version 1.0");
    EXPECT_EQ(info->reserved, 0u);
    // Every byte not covered by a text is zero.
    EXPECT_EQ(info->name[sizeof info->name - 1], '\0');
    EXPECT_EQ(info->type[sizeof info->type - 1], '\0');
    EXPECT_EQ(info->version[100], '\0');
}

TEST(Lifecycle, OpenRemembersTypeAndCallsTheImplsInOrder) {
    RecordingTarget target;
    RecordingCallbacks recorder;
    const char* argv[] = {"type=fpga", "node=localhost"};
    EXPECT_EQ(target.openTarget(2, argv, 11, 12), CSE_SUCCESS);
    EXPECT_TRUE(target.openedFlag());
    EXPECT_STREQ(target.info().type, "fpga");
    EXPECT_EQ(target.calls, (Lines{"initializeTargetImpl(2)", "openTargetImpl(2,11,12)"}));
    EXPECT_EQ(recorder.traces(),
              (Lines{"> CsePlugin::openTarget", "  > CsePlugin::isOpened", "  < false",
                     "  > CsePlugin::findKey", "  < fpga", "  > CsePlugin::initializeTarget",
                     "  < CSE_SUCCESS", "< CSE_SUCCESS"}));
}

TEST(Lifecycle, OpenWithoutTypeKeepsTheEarlierOne) {
    RecordingTarget target;
    const char* first[] = {
        "type="
        "a-much-longer-type-name"};
    const char* second[] = {"type=short"};
    const char* none[] = {"node=x"};
    ASSERT_EQ(target.openTarget(1, first, 0, 0), CSE_SUCCESS);
    ASSERT_EQ(target.openTarget(1, second, 0, 0), CSE_SUCCESS);
    EXPECT_STREQ(target.info().type, "short");
    // The shorter value leaves no trace of the longer one behind its terminator.
    EXPECT_EQ(target.info().type[7], '\0');
    ASSERT_EQ(target.closeTarget(), CSE_SUCCESS);
    ASSERT_EQ(target.openTarget(1, none, 0, 0), CSE_SUCCESS);
    EXPECT_STREQ(target.info().type, "short");
}

TEST(Lifecycle, LongTypeIsCutTo8191Characters) {
    RecordingTarget target;
    const std::string argument = "type=" + std::string(9000, 't');
    const char* argv[] = {argument.c_str()};
    ASSERT_EQ(target.openTarget(1, argv, 0, 0), CSE_SUCCESS);
    EXPECT_EQ(std::strlen(target.info().type), 8191u);
}

TEST(Lifecycle, FailingInitializeTargetGivesPlainFailureWithEmptyExitText) {
    RecordingTarget target;
    target.initializeTargetResult = static_cast<CseResult>(0x80000042u);
    RecordingCallbacks recorder;
    EXPECT_EQ(target.openTarget(0, nullptr, 0, 0), CSE_FAILURE);
    EXPECT_FALSE(target.openedFlag());
    EXPECT_EQ(target.calls, (Lines{"initializeTargetImpl(0)"}));
    EXPECT_EQ(recorder.traces().back(), "< ");
}

TEST(Lifecycle, FailingOpenImplIsReturnedUnchangedAndLeavesClosed) {
    RecordingTarget target;
    target.openResult = static_cast<CseResult>(0x80000003u);
    EXPECT_EQ(target.openTarget(0, nullptr, 0, 0), static_cast<CseResult>(0x80000003u));
    EXPECT_FALSE(target.isOpened());
}

TEST(Lifecycle, NonNegativeOpenResultCountsAsOpened) {
    RecordingTarget target;
    target.openResult = 3;
    EXPECT_EQ(target.openTarget(0, nullptr, 0, 0), 3);
    EXPECT_TRUE(target.openedFlag());
}

TEST(Lifecycle, ReopeningClosesFirstAndUnlocks) {
    RecordingTarget target;
    ASSERT_EQ(target.openTarget(0, nullptr, 0, 0), CSE_SUCCESS);
    ASSERT_EQ(target.lockTarget(0), CSE_SUCCESS);
    target.tracker().set(CSEJTAG_SHIFT_DR);  // so the unlock has to navigate
    target.calls.clear();
    RecordingCallbacks recorder;
    EXPECT_EQ(target.openTarget(0, nullptr, 0, 0), CSE_SUCCESS);
    EXPECT_FALSE(target.isLocked());
    EXPECT_TRUE(target.openedFlag());
    EXPECT_TRUE(recorder.hasLog(2, "Closing previously opened connection\n"));
    EXPECT_EQ(target.calls, (Lines{"navigateTAPImpl(1,0)", "closeTargetImpl()",
                                   "initializeTargetImpl(0)", "openTargetImpl(0,0,0)"}));
    EXPECT_EQ(recorder.traces(),
              (Lines{"> CsePlugin::openTarget", "  > CsePlugin::isOpened", "  < true",
                     "  > CsePlugin::closeTarget", "    > CsePlugin::isOpened", "    < true",
                     "    > CsePlugin::unlockTarget", "      > CsePlugin::navigateTAP",
                     "      < CSE_SUCCESS", "    < CSE_SUCCESS", "  < CSE_SUCCESS",
                     "  > CsePlugin::findKey", "  < 0", "  > CsePlugin::initializeTarget",
                     "  < CSE_SUCCESS", "< CSE_SUCCESS"}));
}

TEST(Lifecycle, ClosingAClosedTargetFailsWithAnErrorMessage) {
    RecordingTarget target;
    target.setHandle(0x1234);
    ASSERT_EQ(target.openTarget(0, nullptr, 0, 0), CSE_SUCCESS);
    ASSERT_EQ(target.closeTarget(), CSE_SUCCESS);
    RecordingCallbacks recorder;
    EXPECT_EQ(target.closeTarget(), CSE_FAILURE);
    const auto messages = recorder.ofKind(krvtest::CallbackEvent::Kind::Message);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].handle, 0x1234u);
    EXPECT_EQ(messages[0].category, 0x100u);
    EXPECT_EQ(messages[0].text, "<CsePlugin> closeTarget() called but target was not opened!\n");
    EXPECT_TRUE(recorder.hasLog(
        1, "<CsePlugin> Error:<CsePlugin> closeTarget() called but target was not opened!\n"));
    EXPECT_EQ(recorder.traces().back(), "< CSE_FAILURE, ERROR CODE: 0");
    EXPECT_EQ(target.calls.back(), "closeTargetImpl()");  // only from the first close
}

TEST(Lifecycle, CloseMarksClosedWhateverTheImplReturns) {
    RecordingTarget target;
    ASSERT_EQ(target.openTarget(0, nullptr, 0, 0), CSE_SUCCESS);
    target.closeResult = static_cast<CseResult>(0x80000009u);
    EXPECT_EQ(target.closeTarget(), static_cast<CseResult>(0x80000009u));
    EXPECT_FALSE(target.isOpened());
}

TEST(Lifecycle, OpenObjectIsConnected) {
    RecordingTarget target;
    ASSERT_EQ(target.openTarget(0, nullptr, 0, 0), CSE_SUCCESS);
    RecordingCallbacks recorder;
    uint32_t connected = 0;
    EXPECT_EQ(target.isConnected(&connected), CSE_SUCCESS);
    EXPECT_EQ(connected, 1u);
    EXPECT_EQ(recorder.traces(), (Lines{"> CsePlugin::isConnected", "  > CsePlugin::isOpened",
                                        "  < true", "< CSE_SUCCESS"}));
}

TEST(Lifecycle, NullPointersAreRefusedWithAMessage) {
    RecordingTarget target;
    RecordingCallbacks recorder;
    EXPECT_EQ(target.isConnected(nullptr), CSE_FAILURE);
    EXPECT_EQ(target.isFileOutput(nullptr), CSE_FAILURE);
    EXPECT_EQ(target.getTargetInfo(nullptr), CSE_FAILURE);
    EXPECT_EQ(recorder.logs(1), (Lines{"<CsePlugin> isConnected called with a NULL pointer\n",
                                       "<CsePlugin> isFileOutput called with a NULL pointer\n",
                                       "<CsePlugin> getTargetInfo called with a NULL pointer\n"}));
    EXPECT_TRUE(recorder.tracesBalanced());
    // The Impl defaults refuse too, for targets that call them directly.
    EXPECT_EQ(target.isConnectedImpl(nullptr), CSE_FAILURE);
}

TEST(Lifecycle, HandleAndClientDataAreStoredWithoutTraces) {
    RecordingTarget target;
    RecordingCallbacks recorder;
    target.setClientData(7);
    target.setHandle(99);
    EXPECT_EQ(target.getClientData(), 7u);
    EXPECT_EQ(target.handleValue(), 99u);
    EXPECT_TRUE(recorder.events().empty());
}

}  // namespace
