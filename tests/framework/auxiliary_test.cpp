// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "framework/PlatformSleepTesting.h"
#include "tests/framework/support/RecordingCallbacks.h"
#include "tests/framework/support/RecordingTarget.h"

namespace {

using namespace CsePluginInterface;
using krvtest::RecordingCallbacks;
using krvtest::RecordingTarget;
using Lines = std::vector<std::string>;

class Auxiliary : public ::testing::Test {
  protected:
    void SetUp() override { recordSleepsForTesting(&sleeps); }
    void TearDown() override { recordSleepsForTesting(nullptr); }
    std::vector<uint32_t> sleeps;
};

struct NotImplementedCase {
    const char* operation;
    std::function<CseResult(CsePlugin&)> call;
    const char* message;
};

class NotImplemented : public ::testing::TestWithParam<NotImplementedCase> {};

TEST_P(NotImplemented, FailsWithItsLevel2Notice) {
    RecordingTarget target;
    RecordingCallbacks recorder;
    EXPECT_EQ(GetParam().call(target), CSE_FAILURE);
    EXPECT_EQ(recorder.transcript(),
              (Lines{std::string("> CsePlugin::") + GetParam().operation,
                     std::string("L2 ") + GetParam().message, "< CSE_FAILURE, ERROR CODE: 0"}));
}

INSTANTIATE_TEST_SUITE_P(
    Defaults, NotImplemented,
    ::testing::Values(
        NotImplementedCase{"flush", [](CsePlugin& p) { return p.flush(); },
                           "CsePlugin::flushImpl() is not implemented for this Target\n"},
        NotImplementedCase{"setPin", [](CsePlugin& p) { return p.setPin(1, 2); },
                           "CsePlugin::setPinImpl() is not implemented for this Target\n"},
        NotImplementedCase{"getPin", [](CsePlugin& p) { return p.getPin(1, 2); },
                           "CsePlugin::getPinImpl() is not implemented for this Target\n"},
        NotImplementedCase{"pulsePin", [](CsePlugin& p) { return p.pulsePin(1, 2); },
                           "CsePlugin::pulsePinImpl() is not implemented for this Target\n"},
        NotImplementedCase{
            "setWaitTimeAndRetries", [](CsePlugin& p) { return p.setWaitTimeAndRetries(1, 2); },
            "CsePlugin::setWaitTimeAndRetriesImpl() is not implemented for this Target\n"},
        NotImplementedCase{
            "sendCommand",
            [](CsePlugin& p) { return p.sendCommand("x", "in", 3, nullptr, 0, 1, 2); },
            "CsePlugin::sendCommandImpl() is not implemented for this Target\n"},
        NotImplementedCase{"writeComment", [](CsePlugin& p) { return p.writeComment(1); },
                           "CsePlugin::writeCommentImpl() is not implemented for this Target\n"},
        NotImplementedCase{"writeHeader", [](CsePlugin& p) { return p.writeHeader(1); },
                           "CsePlugin::writeHeaderImpl() is not implemented for this Target\n"},
        NotImplementedCase{"scanEndState", [](CsePlugin& p) { return p.scanEndState(1, 2); },
                           "CsePlugin::scanEndStateImpl() is not implemented for this Target\n"},
        NotImplementedCase{"startOperation", [](CsePlugin& p) { return p.startOperation(1); },
                           "CsePlugin::startOperationImpl() is not implemented for this Target\n"}),
    [](const ::testing::TestParamInfo<NotImplementedCase>& info) {
        return std::string(info.param.operation);
    });

TEST_F(Auxiliary, WaitTimeZeroFlushesLogsAndDoesNotSleep) {
    RecordingTarget target;
    RecordingCallbacks recorder;
    EXPECT_EQ(target.waitTime(0), CSE_SUCCESS);
    EXPECT_TRUE(sleeps.empty());
    EXPECT_EQ(recorder.transcript(),
              (Lines{"> CsePlugin::waitTime", "> CsePlugin::flush",
                     "L2 CsePlugin::flushImpl() is not implemented for this Target\n",
                     "< CSE_FAILURE, ERROR CODE: 0",
                     "L4 <CsePlugin> waitTimeImpl:Slept for 0 us...\n", "< CSE_SUCCESS"}));
    EXPECT_TRUE(recorder.tracesBalanced());
}

struct WaitRounding {
    uint32_t microseconds;
    uint32_t milliseconds;
};

class WaitTime : public Auxiliary, public ::testing::WithParamInterface<WaitRounding> {};

TEST_P(WaitTime, SleepsTheRoundedUpMilliseconds) {
    RecordingTarget target;
    RecordingCallbacks recorder;
    EXPECT_EQ(target.waitTime(GetParam().microseconds), CSE_SUCCESS);
    EXPECT_EQ(sleeps, (std::vector<uint32_t>{GetParam().milliseconds}));
    EXPECT_TRUE(recorder.hasLog(4, "<CsePlugin> waitTimeImpl:Slept for " +
                                       std::to_string(GetParam().microseconds) + " us...\n"));
}

INSTANTIATE_TEST_SUITE_P(Waits, WaitTime,
                         ::testing::Values(WaitRounding{1, 1}, WaitRounding{1000, 1},
                                           WaitRounding{1001, 2}, WaitRounding{2500, 3},
                                           // No 32-bit wrap: about 71.6 minutes, not 0 ms.
                                           WaitRounding{4294967295u, 4294968u}));

TEST_F(Auxiliary, OptionsFailThroughTheUnimplementedSendCommand) {
    RecordingTarget target;
    RecordingCallbacks recorder;
    char answer[8] = {};
    EXPECT_EQ(target.setOption("speed", "10"), CSE_FAILURE);
    EXPECT_EQ(target.getOption("speed", answer, sizeof answer), CSE_FAILURE);
    EXPECT_EQ(recorder.traces(),
              (Lines{"> CsePlugin::setOption", "  > CsePlugin::sendCommand",
                     "  < CSE_FAILURE, ERROR CODE: 0", "< CSE_FAILURE, ERROR CODE: 0",
                     "> CsePlugin::getOption", "  > CsePlugin::sendCommand",
                     "  < CSE_FAILURE, ERROR CODE: 0", "< CSE_FAILURE, ERROR CODE: 0"}));
    EXPECT_EQ(recorder.logs(2),
              (Lines(2, "CsePlugin::sendCommandImpl() is not implemented for this Target\n")));
}

// A target with a command channel: options come for free.
class CommandTarget : public RecordingTarget {
  public:
    struct Command {
        std::string command;
        std::vector<uint8_t> input;
        uint32_t inSize = 0;
        void* outData = nullptr;
        uint32_t outSize = 0;
        uint32_t opaque1 = 0;
        uint32_t opaque2 = 0;
    };
    std::vector<Command> commands;

  protected:
    CseResult sendCommandImpl(const char* command, const void* inData, uint32_t inSize,
                              void* outData, uint32_t outSize, uint32_t opaque1,
                              uint32_t opaque2) override {
        const auto* bytes = static_cast<const uint8_t*>(inData);
        commands.push_back({command, std::vector<uint8_t>(bytes, bytes + inSize), inSize, outData,
                            outSize, opaque1, opaque2});
        if (outData != nullptr && outSize >= 3) std::memcpy(outData, "42", 3);
        return CSE_SUCCESS;
    }
};

TEST_F(Auxiliary, SetOptionSendsKeyEqualsValueWithItsTerminator) {
    CommandTarget target;
    EXPECT_EQ(target.setOption("speed", "10"), CSE_SUCCESS);
    ASSERT_EQ(target.commands.size(), 1u);
    const auto& command = target.commands[0];
    EXPECT_EQ(command.command, "set");
    EXPECT_EQ(command.inSize, 9u);
    EXPECT_EQ(std::string(command.input.begin(), command.input.end()),
              std::string("speed=10\0", 9));
    EXPECT_EQ(command.outData, nullptr);
    EXPECT_EQ(command.outSize, 0u);
    EXPECT_EQ(command.opaque1, 0u);
    EXPECT_EQ(command.opaque2, 0u);
}

TEST_F(Auxiliary, GetOptionSendsTheKeyAndAnswersIntoTheCallersBuffer) {
    CommandTarget target;
    char answer[16] = {};
    EXPECT_EQ(target.getOption("speed", answer, sizeof answer), CSE_SUCCESS);
    ASSERT_EQ(target.commands.size(), 1u);
    EXPECT_EQ(target.commands[0].command, "get");
    EXPECT_EQ(target.commands[0].inSize, 6u);
    EXPECT_EQ(target.commands[0].outData, answer);
    EXPECT_EQ(target.commands[0].outSize, 16u);
    EXPECT_STREQ(answer, "42");
}

TEST_F(Auxiliary, NullOptionKeysAreRefused) {
    CommandTarget target;
    RecordingCallbacks recorder;
    char answer[4] = {};
    EXPECT_EQ(target.setOption(nullptr, "1"), CSE_FAILURE);
    EXPECT_EQ(target.setOption("speed", nullptr), CSE_FAILURE);
    EXPECT_EQ(target.getOption(nullptr, answer, sizeof answer), CSE_FAILURE);
    EXPECT_TRUE(target.commands.empty());
    EXPECT_EQ(recorder.logs(1), (Lines{"<CsePlugin> setOption called with a NULL key or value\n",
                                       "<CsePlugin> setOption called with a NULL key or value\n",
                                       "<CsePlugin> getOption called with a NULL key\n"}));
    EXPECT_TRUE(recorder.tracesBalanced());
}

TEST_F(Auxiliary, EverythingWorksSilentlyWithoutCallbacks) {
    RecordingTarget target;
    EXPECT_EQ(target.waitTime(1), CSE_SUCCESS);
    EXPECT_EQ(target.flush(), CSE_FAILURE);
    EXPECT_EQ(target.lockTarget(0), CSE_SUCCESS);
    EXPECT_EQ(target.navigateTAP(CSEJTAG_SHIFT_DR, 0, 1000), CSE_SUCCESS);
    EXPECT_EQ(target.getTAPState(), CSEJTAG_SHIFT_DR);
}

}  // namespace
