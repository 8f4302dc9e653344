// SPDX-License-Identifier: Apache-2.0
// Faults found by the soak and the fault suite, each pinned down by losing exactly one datagram: a
// request the front end never sees, or a reply to a request it carried out.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "framework/CallbackRecord.h"
#include "remote/RemoteLink.h"
#include "sim/RequestDecoder.h"
#include "support/DroppingSockets.h"
#include "support/FaultSession.h"

namespace faults {
namespace {

class LostReplyRegression : public FaultSession {
  protected:
    void SetUp() override {
        FaultSession::SetUp();
        ASSERT_NO_FATAL_FAILURE(startSimulator(quorbit::FaultPlan()));
        useTimeouts(kShortHandshakeMicros, kShortReplyMicros);
        sockets = std::make_unique<DroppingSockets>();  // after the fixture chose the platform's
    }

    void TearDown() override {
        sockets.reset();
        FaultSession::TearDown();
    }

    CseResult open() {
        const std::string port = "port=" + std::to_string(simulator->udpPort());
        // Without retransmission: each of these datagrams is lost for good.
        const char* const argv[] = {"node=127.0.0.1", port.c_str(), "retransmit=off"};
        return plugin->openTarget(3, argv, 0, 0);
    }

    // The next session must work as if nothing had happened. A lost reply leaves the link a
    // sequence number behind, so the old session's close goes unanswered: it runs on short time.
    void expectRecovery() {
        loseFragments(Direction::Replies, {});
        (void)close();
        useTimeouts(kPatientMicros, kPatientMicros);
        model->forgetUserRegisters();
        EXPECT_EQ(runRounds(1), 1);
        EXPECT_EQ(counts.wrong, 0u) << ::testing::PrintToString(wrongResults);
    }

    std::unique_ptr<DroppingSockets> sockets;
};

// Broke: open succeeded although "JTAG.PIN ENABLE" was never answered, and IR shifts on the
// disabled pins then passed with a TDO buffer nobody had written.
TEST_F(LostReplyRegression, OpenWithUnansweredPinEnableFails) {
    loseFragments(Direction::Replies, {2});  // attach, then the command
    EXPECT_EQ(open(), CSE_FAILURE);
    expectRecovery();
}

// Broke: lock reported success although the TAP reset was never carried out; the walk to
// Run-Test/Idle that followed went from wherever the TAP stood, while the plug-in believed it in
// Run-Test/Idle.
TEST_F(LostReplyRegression, LockWithLostResetFails) {
    ASSERT_EQ(open(), CSE_SUCCESS);
    loseFragments(Direction::Requests, {1});  // the reset; the walk goes through and is answered
    EXPECT_EQ(plugin->lockTarget(0), CSE_FAILURE);
    // Attach, command, then the walk, preceded by the reset and walk back that follow a raw shift
    // that went unanswered.
    EXPECT_EQ(simulator->counters().requests, 5u);
    expectRecovery();
}

// Broke: lock reported success although the reset was carried out but never answered.
TEST_F(LostReplyRegression, LockWithUnansweredResetFails) {
    ASSERT_EQ(open(), CSE_SUCCESS);
    loseFragments(Direction::Replies, {1});
    EXPECT_EQ(plugin->lockTarget(0), CSE_FAILURE);
    expectRecovery();
}

// Broke: lock reported success although its walk to Run-Test/Idle was never answered.
TEST_F(LostReplyRegression, LockWithUnansweredWalkFails) {
    ASSERT_EQ(open(), CSE_SUCCESS);
    loseFragments(Direction::Replies, {2});
    EXPECT_EQ(plugin->lockTarget(0), CSE_FAILURE);
    expectRecovery();
}

// Broke: a navigation to Shift-DR with extra clocks reported success although the clocks (which
// shift the data register) were never answered, so the next shift's bits were off by their count.
TEST_F(LostReplyRegression, ExtraClocksWithoutAnswerFailTheNavigation) {
    ASSERT_EQ(open(), CSE_SUCCESS);
    ASSERT_EQ(plugin->lockTarget(0), CSE_SUCCESS);
    loseFragments(Direction::Replies, {2});  // the walk is answered, the extra clocks are not
    EXPECT_EQ(plugin->navigateTAP(CSEJTAG_SHIFT_DR, 5), CSE_FAILURE);
    expectRecovery();
}

// Still sound: a walk that is answered with extra clocks that are answered succeeds.
TEST_F(LostReplyRegression, AnsweredExtraClocksStillSucceed) {
    ASSERT_EQ(open(), CSE_SUCCESS);
    ASSERT_EQ(plugin->lockTarget(0), CSE_SUCCESS);
    EXPECT_EQ(plugin->navigateTAP(CSEJTAG_PAUSE_DR, 5), CSE_SUCCESS);
    EXPECT_EQ(plugin->getTAPState(), CSEJTAG_PAUSE_DR);
}

std::vector<std::string> gWarnings;

void keepWarning(uint32_t, uint32_t category, const char* text) {
    if (category == CSE_MESSAGE_WARNING) gWarnings.emplace_back(text);
}

enum class Step { Walk, ExtraClocks, IrShift, DrShift };

class LostRawShiftReply : public LostReplyRegression, public ::testing::WithParamInterface<Step> {};

CseResult runStep(QXCsePlugin& plugin, Step step) {
    uint8_t bits[8] = {0xA5, 0x5A, 0xFF, 0x00, 0x81, 0x18, 0x3C, 0xC3};
    switch (step) {
        case Step::Walk:
            return plugin.navigateTAP(CSEJTAG_SHIFT_DR, 0);
        case Step::ExtraClocks:
            return plugin.navigateTAP(CSEJTAG_CAPTURE_IR, 9);
        case Step::IrShift:
            return plugin.shiftChainIR(bits, bits, nullptr, nullptr, 14, CSEJTAG_PAUSE_IR, 0, 0);
        case Step::DrShift:
            return plugin.shiftChainDR(bits, bits, nullptr, nullptr, 64, CSEJTAG_EXIT1_DR, 0, 0);
    }
    return CSE_FAILURE;
}

// Broke: a raw shift whose reply was lost may have been clocked, yet the plug-in kept its recorded
// state; a retry then walked from there and reported a state the chain was not in. Now the next
// operation resets the TAP and walks back first, and says so.
TEST_P(LostRawShiftReply, NextOperationStartsFromTheStateTheChainIsIn) {
    ASSERT_EQ(open(), CSE_SUCCESS);
    ASSERT_EQ(plugin->lockTarget(0), CSE_SUCCESS);
    CsePluginCallbacks callbacks{};
    callbacks.messageCallback = keepWarning;
    CallbackRecord::replace(callbacks);
    gWarnings.clear();
    loseFragments(Direction::Replies, {GetParam() == Step::ExtraClocks ? 2 : 1});
    EXPECT_EQ(runStep(*plugin, GetParam()), CSE_FAILURE);
    loseFragments(Direction::Replies, {});
    useTimeouts(kPatientMicros, kPatientMicros);

    EXPECT_EQ(plugin->navigateTAP(CSEJTAG_PAUSE_IR, 0), CSE_SUCCESS);
    EXPECT_EQ(plugin->getTAPState(), CSEJTAG_PAUSE_IR);
    EXPECT_EQ(static_cast<CseJtagTapState>(simulator->tapState()), CSEJTAG_PAUSE_IR);
    ASSERT_EQ(gWarnings.size(), 1u);
    EXPECT_NE(gWarnings[0].find("instruction registers now hold their reset values"),
              std::string::npos)
        << gWarnings[0];
}

INSTANTIATE_TEST_SUITE_P(Steps, LostRawShiftReply,
                         ::testing::Values(Step::Walk, Step::ExtraClocks, Step::IrShift,
                                           Step::DrShift));

}  // namespace
}  // namespace faults

namespace faults {
namespace {

// A raw-shift block without streams: the head alone says how many clocks.
std::vector<uint8_t> streamLessBlock(uint32_t clocks) {
    return {0x90,
            0x00,
            0x00,
            0x00,
            static_cast<uint8_t>(clocks),
            static_cast<uint8_t>(clocks >> 8),
            static_cast<uint8_t>(clocks >> 16),
            static_cast<uint8_t>(clocks >> 24)};
}

// Broke (found by fuzzing): quorbit-sim clocked whatever count a stream-less raw-shift block named,
// so an 8-byte block of 4 billion clocks kept the emulator busy for minutes.
TEST(EmulatorRegression, RawShiftsOfMoreClocksThanARequestCanCarryAreRefused) {
    std::vector<quorbit::RawShift> shifts;
    std::string error;
    const std::vector<uint8_t> huge = streamLessBlock(0xFB000400u);
    EXPECT_FALSE(quorbit::decodeRawShifts(huge.data(), huge.size(), 1024, shifts, error));
    EXPECT_NE(error.find("clocks"), std::string::npos) << error;

    // Many blocks add up: the limit is per request.
    std::vector<uint8_t> many;
    for (int i = 0; i < 3; ++i) {
        const std::vector<uint8_t> block = streamLessBlock(60000);
        many.insert(many.end(), block.begin(), block.end());
    }
    EXPECT_FALSE(quorbit::decodeRawShifts(many.data(), many.size(), 1024, shifts, error));

    const std::vector<uint8_t> modest = streamLessBlock(100000);
    EXPECT_TRUE(quorbit::decodeRawShifts(modest.data(), modest.size(), 1024, shifts, error))
        << error;
}

}  // namespace
}  // namespace faults
