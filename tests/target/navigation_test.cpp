// SPDX-License-Identifier: Apache-2.0
// TAP navigation on the debugger: every state pair checked against the emulator, the TMS bits on
// the wire, extra cycles, unlocked mode, refused goals and the client's failures.
#include <gtest/gtest.h>

#include <tuple>

#include "framework/TapStateTables.h"
#include "remote/RemoteLink.h"
#include "remote/RemoteLinkTesting.h"
#include "support/SimulatedTarget.h"

namespace {

using namespace targettest;

constexpr uint32_t kError = 0x100;
constexpr uint32_t kDebug = 0x8000;
constexpr uint16_t kTmsOnly = 0x0001;

std::vector<int> tmsBits(const quorbit::RawShiftRecord& shift) {
    std::vector<int> bits;
    for (uint32_t n = 0; n < shift.bitCount && n / 8 < shift.tms.size(); ++n) {
        bits.push_back((shift.tms[n / 8] >> (n % 8)) & 1);
    }
    return bits;
}

class Navigation : public SimulatedTargetTest {};

class NavigationPair : public SimulatedTargetTest,
                       public ::testing::WithParamInterface<std::tuple<int, int>> {};

TEST_P(NavigationPair, EmulatorEndsInTheGoal) {
    const auto from = static_cast<CseJtagTapState>(std::get<0>(GetParam()));
    const auto goal = static_cast<CseJtagTapState>(std::get<1>(GetParam()));
    startSimulator();
    openAndLock();
    ASSERT_EQ(plugin->navigateTAP(from, 0), CSE_SUCCESS);
    ASSERT_EQ(simulatorState(), from);
    simulator->resetInspection();

    ASSERT_EQ(plugin->navigateTAP(goal, 0), CSE_SUCCESS);
    EXPECT_EQ(simulatorState(), goal);
    EXPECT_EQ(plugin->getTAPState(), goal);
    const auto shifts = rawShifts();
    ASSERT_EQ(shifts.size(), 1u) << "one request per navigation";
    EXPECT_EQ(shifts[0].optionWord, kTmsOnly);
    EXPECT_GE(shifts[0].bitCount, 1u);
    EXPECT_LE(shifts[0].bitCount, 8u);
    EXPECT_EQ(static_cast<CseJtagTapState>(shifts[0].startState), from);
}

INSTANTIATE_TEST_SUITE_P(AllPairs, NavigationPair,
                         ::testing::Combine(::testing::Range(0, 16), ::testing::Range(0, 16)),
                         [](const ::testing::TestParamInfo<std::tuple<int, int>>& info) {
                             return std::to_string(std::get<0>(info.param)) + "_to_" +
                                    std::to_string(std::get<1>(info.param));
                         });

struct WireCase {
    CseJtagTapState from;
    CseJtagTapState goal;
    std::vector<int> bits;
};

class NavigationWire : public SimulatedTargetTest,
                       public ::testing::WithParamInterface<WireCase> {};

TEST_P(NavigationWire, SendsTheWalkAsOneTmsOnlyRawShift) {
    const WireCase& c = GetParam();
    startSimulator();
    openAndLock();
    ASSERT_EQ(plugin->navigateTAP(c.from, 0), CSE_SUCCESS);
    simulator->resetInspection();
    ASSERT_EQ(plugin->navigateTAP(c.goal, 0), CSE_SUCCESS);
    const auto shifts = rawShifts();
    ASSERT_EQ(shifts.size(), 1u);
    EXPECT_EQ(shifts[0].optionWord, kTmsOnly);
    EXPECT_EQ(shifts[0].bitCount, c.bits.size());
    EXPECT_EQ(tmsBits(shifts[0]), c.bits);
}

INSTANTIATE_TEST_SUITE_P(
    EdgeCases, NavigationWire,
    ::testing::Values(WireCase{CSEJTAG_RUN_TEST_IDLE, CSEJTAG_SHIFT_DR, {1, 0, 0}},
                      WireCase{CSEJTAG_RUN_TEST_IDLE, CSEJTAG_SHIFT_IR, {1, 1, 0, 0}},
                      WireCase{CSEJTAG_SHIFT_DR, CSEJTAG_RUN_TEST_IDLE, {1, 1, 0}},
                      WireCase{CSEJTAG_PAUSE_DR, CSEJTAG_SHIFT_DR, {1, 0}},
                      WireCase{CSEJTAG_EXIT2_IR, CSEJTAG_SHIFT_IR, {0}},
                      WireCase{CSEJTAG_TEST_LOGIC_RESET, CSEJTAG_TEST_LOGIC_RESET, {1}},
                      WireCase{CSEJTAG_SHIFT_DR, CSEJTAG_SHIFT_DR, {0}}));

TEST_F(Navigation, ExtraCyclesFollowAsZeroTmsWithoutChangingTheState) {
    startSimulator();
    openAndLock();
    ASSERT_EQ(plugin->navigateTAP(CSEJTAG_PAUSE_DR, 5), CSE_SUCCESS);
    auto shifts = rawShifts();
    ASSERT_EQ(shifts.size(), 2u);
    EXPECT_EQ(shifts[1].optionWord, kTmsOnly);
    EXPECT_EQ(shifts[1].bitCount, 5u);
    EXPECT_EQ(shifts[1].tms, std::vector<uint8_t>{0x00});
    EXPECT_EQ(simulatorState(), CSEJTAG_PAUSE_DR);
    EXPECT_TRUE(recorder.hasMessage(kDebug, "KORAVEN: Extra cycle Count = 5 \n"));

    simulator->resetInspection();
    ASSERT_EQ(plugin->navigateTAP(CSEJTAG_RUN_TEST_IDLE, 40), CSE_SUCCESS);
    shifts = rawShifts();
    ASSERT_EQ(shifts.size(), 2u);
    EXPECT_EQ(shifts[1].bitCount, 40u);
    EXPECT_EQ(shifts[1].tms, std::vector<uint8_t>(5, 0x00));
    EXPECT_EQ(simulatorState(), CSEJTAG_RUN_TEST_IDLE);
}

struct SettleCase {
    CseJtagTapState goal;
    uint32_t count;
    CseJtagTapState reached;
};

class NavigationSettle : public SimulatedTargetTest,
                         public ::testing::WithParamInterface<SettleCase> {};

// In a state that TMS 0 leaves, the extra clocks move the TAP on; the state recorded is the one
// they reach.
TEST_P(NavigationSettle, ExtraCyclesRecordTheStateTheyReach) {
    startSimulator();
    openAndLock();
    ASSERT_EQ(plugin->navigateTAP(GetParam().goal, GetParam().count), CSE_SUCCESS);
    EXPECT_EQ(simulatorState(), GetParam().reached);
    EXPECT_EQ(plugin->getTAPState(), GetParam().reached);
}

INSTANTIATE_TEST_SUITE_P(
    LeftByTmsLow, NavigationSettle,
    ::testing::Values(SettleCase{CSEJTAG_CAPTURE_DR, 3, CSEJTAG_SHIFT_DR},
                      SettleCase{CSEJTAG_TEST_LOGIC_RESET, 5, CSEJTAG_RUN_TEST_IDLE},
                      SettleCase{CSEJTAG_UPDATE_IR, 1, CSEJTAG_RUN_TEST_IDLE},
                      SettleCase{CSEJTAG_SELECT_IR_SCAN, 1, CSEJTAG_CAPTURE_IR},
                      SettleCase{CSEJTAG_EXIT1_DR, 2, CSEJTAG_PAUSE_DR},
                      SettleCase{CSEJTAG_EXIT2_IR, 7, CSEJTAG_SHIFT_IR}));

TEST_F(Navigation, ExtraCyclesAboveOneRawShiftGoOutInSeveral) {
    startSimulator();
    openAndLock();
    const uint32_t count = 2 * kMaxRawShiftBits + 10;
    ASSERT_EQ(plugin->navigateTAP(CSEJTAG_RUN_TEST_IDLE, count), CSE_SUCCESS);
    const auto shifts = rawShifts();
    ASSERT_EQ(shifts.size(), 4u);
    uint64_t clocked = 0;
    for (size_t i = 1; i < shifts.size(); ++i) {
        EXPECT_EQ(shifts[i].optionWord, kTmsOnly);
        EXPECT_EQ(shifts[i].status, quorbit::kStatusOk);
        clocked += shifts[i].bitCount;
    }
    EXPECT_EQ(shifts[1].bitCount, kMaxRawShiftBits);
    EXPECT_EQ(shifts[3].bitCount, 10u);
    EXPECT_EQ(clocked, count) << "the TAP receives every cycle";
    EXPECT_EQ(simulatorState(), CSEJTAG_RUN_TEST_IDLE);
}

TEST_F(Navigation, UnlockedModeMovesNothing) {
    startSimulator();
    ASSERT_EQ(openTarget(), CSE_SUCCESS);
    ASSERT_EQ(plugin->setLocked(true), CSE_SUCCESS);  // passes the guard without lockTarget
    simulator->resetInspection();
    recorder.clear();
    EXPECT_EQ(plugin->navigateTAP(CSEJTAG_SHIFT_IR, 3), CSE_SUCCESS);
    EXPECT_TRUE(rawShifts().empty());
    EXPECT_EQ(plugin->getTAPState(), CSEJTAG_TEST_LOGIC_RESET);
    EXPECT_EQ(
        recorder.targetLines(),
        (std::vector<std::string>{">>Enter>> QXCsePlugin::navigateTAPImpl()\n",
                                  "navigateTAPImpl() called in unlocked mode \n",
                                  "<<Exit<<  QXCsePlugin::navigateTAPImpl() : CSE_SUCCESS\n"}));
}

class NavigationRefusedGoal : public SimulatedTargetTest,
                              public ::testing::WithParamInterface<uint32_t> {};

TEST_P(NavigationRefusedGoal, IsRefusedBeforeAnyWalk) {
    startSimulator();
    openAndLock();
    ASSERT_EQ(plugin->navigateTAP(CSEJTAG_PAUSE_DR, 0), CSE_SUCCESS);
    simulator->resetInspection();
    recorder.clear();
    const auto goal = static_cast<CseJtagTapState>(GetParam());
    EXPECT_EQ(plugin->navigateTAP(goal, 0), CSE_FAILURE);
    EXPECT_TRUE(rawShifts().empty());
    EXPECT_EQ(simulator->counters().requests, 0u);
    EXPECT_EQ(plugin->getTAPState(), CSEJTAG_PAUSE_DR);
    const std::vector<std::string> expected = {
        "KORAVEN: QXCsePlugin::navigateTAPImpl: goal state " + std::to_string(GetParam()) +
            " is not a TAP state \n",
        "KORAVEN: <<Exit<<  QXCsePlugin::navigateTAPImpl() : CSE_FAILURE\n"};
    EXPECT_EQ(recorder.messages(kError), expected);
}

INSTANTIATE_TEST_SUITE_P(OutsideTheSixteen, NavigationRefusedGoal,
                         ::testing::Values(16u, 255u, 0x80000000u, 0xFFFFFFFFu));

TEST_F(Navigation, NoReplyFailsAndKeepsTheState) {
    startSimulator();
    openAndLock();
    ASSERT_EQ(plugin->navigateTAP(CSEJTAG_SHIFT_DR, 0), CSE_SUCCESS);
    LinkSetTimeoutsForTest(20000, 20000);  // the missing reply is waited for on purpose
    simulator->stop();
    recorder.clear();
    EXPECT_EQ(plugin->navigateTAP(CSEJTAG_RUN_TEST_IDLE, 0), CSE_FAILURE);
    EXPECT_EQ(plugin->getTAPState(), CSEJTAG_SHIFT_DR);
    EXPECT_TRUE(recorder.hasMessage(kError, "KORAVEN: navigateTAPImpl: RawShift failed \n"));
}

// Datagrams that never leave: the request goes unanswered.
int failingSend(LinkSocket, const uint8_t*, int, const LinkAddress&) {
    return -1;
}

TEST_F(Navigation, RequestThatNeverLeavesFailsAndKeepsTheState) {
    startSimulator();
    openAndLock();
    ASSERT_EQ(plugin->navigateTAP(CSEJTAG_PAUSE_IR, 0), CSE_SUCCESS);
    LinkSocketOps failing = kLinkSystemSocketOps;
    failing.sendTo = failingSend;
    LinkSetSocketOpsForTest(&failing);
    LinkSetTimeoutsForTest(20000, 20000);  // the missing reply is waited for on purpose
    recorder.clear();
    EXPECT_EQ(plugin->navigateTAP(CSEJTAG_RUN_TEST_IDLE, 0), CSE_FAILURE);
    EXPECT_LT(KRV_LastResult(), 0);
    EXPECT_EQ(plugin->getTAPState(), CSEJTAG_PAUSE_IR);
    EXPECT_TRUE(recorder.hasMessage(kError, "KORAVEN: navigateTAPImpl: RawShift failed \n"));
    EXPECT_EQ(plugin->initializeTAP(), CSE_FAILURE) << "the reset fails the same way";
    EXPECT_EQ(plugin->getTAPState(), CSEJTAG_PAUSE_IR);
    LinkSetSocketOpsForTest(nullptr);
}

// A debugger that answers with a nonzero status byte: attached, but its pins never enabled.
TEST_F(Navigation, DebuggerStatusBytesStillCountAsSuccess) {
    startSimulator();
    ASSERT_EQ(KRV_SetConfigItem("NODE=", "127.0.0.1"), 0);
    ASSERT_EQ(KRV_SetConfigItem("PORT=", std::to_string(simulator->udpPort()).c_str()), 0);
    ASSERT_EQ(KRV_Connect(), 0);
    ASSERT_EQ(KRV_Attach(), 0);
    ASSERT_EQ(plugin->lockTarget(0), CSE_SUCCESS);
    EXPECT_EQ(plugin->navigateTAP(CSEJTAG_SHIFT_IR, 0), CSE_SUCCESS);
    EXPECT_EQ(KRV_LastResult(), quorbit::kStatusPinsDisabled);
    EXPECT_EQ(plugin->getTAPState(), CSEJTAG_SHIFT_IR);
    EXPECT_EQ(simulatorState(), CSEJTAG_TEST_LOGIC_RESET) << "the emulator moved nothing";
}

}  // namespace
