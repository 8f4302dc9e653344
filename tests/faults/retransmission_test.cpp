// SPDX-License-Identifier: Apache-2.0
// Requests sent again on a time-out: a lost datagram costs milliseconds and never a call, and the
// front end carries every request out once. What retransmit=auto finds on a front end that would
// carry a repeated request out again, and what the refusal after a recovery still closes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "framework/CallbackRecord.h"
#include "remote/RemoteLink.h"
#include "support/DroppingSockets.h"
#include "support/FaultSession.h"

namespace faults {
namespace {

constexpr uint32_t kDevice = 1;  // a 32-bit user register at opcode 3
constexpr uint8_t kUserOpcode = 0x3;
constexpr uint32_t kUserBits = 32;

std::vector<std::string> gErrors;

void keepError(uint32_t, uint32_t category, const char* text) {
    if (category == CSE_MESSAGE_ERROR) gErrors.emplace_back(text);
}

bool refused() {
    return std::any_of(gErrors.begin(), gErrors.end(), [](const std::string& line) {
        return line.find("shift the instructions again") != std::string::npos;
    });
}

class Retransmission : public FaultSession {
  protected:
    void SetUp() override {
        FaultSession::SetUp();
        retransmit = "auto";
    }

    void TearDown() override {
        sockets.reset();
        CallbackRecord::replace(CsePluginCallbacks{});
        FaultSession::TearDown();
    }

    void begin(const quorbit::FaultPlan& plan = quorbit::FaultPlan()) {
        ASSERT_NO_FATAL_FAILURE(startSimulator(plan));
        sockets = std::make_unique<DroppingSockets>();
        ASSERT_TRUE(openAndPrepare());
        CsePluginCallbacks callbacks{};
        callbacks.messageCallback = keepError;
        CallbackRecord::replace(callbacks);
        gErrors.clear();
        ASSERT_EQ(selectUserRegister(), CSE_SUCCESS);
    }

    CseResult selectUserRegister() {
        const uint8_t opcode[1] = {kUserOpcode};
        return plugin->shiftDeviceIR(kDevice, opcode, nullptr, nullptr, nullptr, 4,
                                     CSEJTAG_RUN_TEST_IDLE, 0, 0);
    }

    // What the emulator's user register holds now: what the next exchange must read.
    std::vector<uint8_t> held() {
        std::vector<uint8_t> bits;
        EXPECT_TRUE(simulator->userRegister(kDevice, kUserOpcode, bits));
        return bits;
    }

    // Shifts `in` into the user register and returns what it held.
    std::vector<uint8_t> exchange(uint32_t seed, CseResult* result) {
        const std::vector<uint8_t> in = patternBits(kUserBits, seed);
        std::vector<uint8_t> out(4, 0);
        *result = plugin->shiftDeviceDR(kDevice, in.data(), out.data(), nullptr, nullptr, kUserBits,
                                        CSEJTAG_RUN_TEST_IDLE, 0, 0);
        return out;
    }

    std::string retransmitState() {
        char text[128] = {};
        if (plugin->getOption("retransmit", text, sizeof text) != CSE_SUCCESS) return "failed";
        return text;
    }

    uint64_t executed() { return simulator->counters().requests; }

    std::unique_ptr<DroppingSockets> sockets;
};

struct LossCase {
    const char* name;
    Direction direction;
    int fragment;
};

void PrintTo(const LossCase& c, std::ostream* out) {
    *out << c.name;
}

class OneLoss : public Retransmission, public ::testing::WithParamInterface<LossCase> {};

// Broke: the client never sent a request again, so one lost datagram failed the whole call (and a
// recovery reset took the instructions). Now the call succeeds with the right bits, and the front
// end carries the request out exactly once: a lost reply is answered from its memory.
TEST_P(OneLoss, CostsNoCallAndRunsTheRequestOnce) {
    ASSERT_NO_FATAL_FAILURE(begin());
    EXPECT_EQ(retransmitState(), "on: the front end answers a repeated request with its reply");
    CseResult result = CSE_FAILURE;
    const uint64_t first = executed();
    (void)exchange(1, &result);
    ASSERT_EQ(result, CSE_SUCCESS);
    const uint64_t perCall = executed() - first;
    const uint64_t before = executed();
    const uint64_t resentBefore = KRV_TimeoutRetransmissions();
    const uint64_t repeatsBefore = simulator->counters().retransmittedRequests;
    const std::vector<uint8_t> expected = held();
    loseFragments(GetParam().direction, {GetParam().fragment});
    EXPECT_EQ(exchange(2, &result), expected);
    loseFragments(Direction::Replies, {});
    ASSERT_EQ(result, CSE_SUCCESS);
    EXPECT_EQ(executed() - before, perCall) << "each request carried out once";
    // At least the one resend the loss needs (a machine under load may add a spurious one,
    // which the front end answers from its memory as well).
    EXPECT_GE(KRV_TimeoutRetransmissions() - resentBefore, 1u);
    if (GetParam().direction == Direction::Replies) {
        EXPECT_GE(simulator->counters().retransmittedRequests - repeatsBefore, 1u);
    }
    // Nothing was reset: the register takes the next shift without loading its instruction.
    const std::vector<uint8_t> next = held();
    EXPECT_EQ(exchange(3, &result), next);
    EXPECT_EQ(result, CSE_SUCCESS);
    EXPECT_FALSE(refused());
}

INSTANTIATE_TEST_SUITE_P(Datagrams, OneLoss,
                         ::testing::Values(LossCase{"Request", Direction::Requests, 1},
                                           LossCase{"Reply", Direction::Replies, 1}),
                         [](const ::testing::TestParamInfo<LossCase>& info) {
                             return info.param.name;
                         });

// A long shift with flow control: a lost middle fragment or flow token starts the sending again.
TEST_F(Retransmission, LongShiftRidesOverALostFragmentAndALostToken) {
    ASSERT_NO_FATAL_FAILURE(begin());
    constexpr uint32_t kBits = 122816;  // 16 fragments, tokens after the 5th on
    const std::vector<uint8_t> tdi = patternBits(kBits, 7);
    std::vector<uint8_t> tdo(tdi.size(), 0);
    ASSERT_EQ(plugin->navigateTAP(CSEJTAG_SHIFT_DR, 0), CSE_SUCCESS);
    const uint64_t before = executed();
    loseFragments(Direction::Requests, {9});
    ASSERT_EQ(plugin->shiftChainDR(tdi.data(), tdo.data(), nullptr, nullptr, kBits,
                                   CSEJTAG_SHIFT_DR, 0, 0),
              CSE_SUCCESS);
    loseFlowTokens({3});
    ASSERT_EQ(plugin->shiftChainDR(tdi.data(), tdo.data(), nullptr, nullptr, kBits,
                                   CSEJTAG_SHIFT_DR, 0, 0),
              CSE_SUCCESS);
    loseFlowTokens({});
    EXPECT_EQ(executed() - before, 2u) << "each long shift carried out once";
    // The second shift read back the first one's bits, behind the DR path: the user register
    // and the other two devices' BYPASS bits.
    constexpr uint32_t kPath = kUserBits + 2;
    for (uint32_t bit = kPath; bit < kBits; ++bit) {
        const bool sent = ((tdi[(bit - kPath) / 8] >> ((bit - kPath) % 8)) & 1u) != 0;
        const bool read = ((tdo[bit / 8] >> (bit % 8)) & 1u) != 0;
        ASSERT_EQ(read, sent) << "bit " << bit;
    }
    EXPECT_EQ(static_cast<CseJtagTapState>(simulator->tapState()), CSEJTAG_SHIFT_DR);
}

// An outage shorter than the reply time-out costs its own length: the call in it succeeds once
// the front end answers again, and nothing is reset.
TEST_F(Retransmission, ShortOutageCostsNoCall) {
    ASSERT_NO_FATAL_FAILURE(begin());
    CseResult result = CSE_FAILURE;
    (void)exchange(4, &result);
    const std::vector<uint8_t> expected = held();
    loseBurst(12);
    EXPECT_EQ(exchange(5, &result), expected);
    EXPECT_EQ(result, CSE_SUCCESS);
    EXPECT_FALSE(refused());
}

// A front end that carries a repeated request out again: auto leaves retransmission off, a lost
// reply fails its call without running the request twice, and the DR shifts after it are refused
// until the instructions are loaded again.
TEST_F(Retransmission, AutoChoosesOffWhereARepeatedRequestRunsAgain) {
    quorbit::FaultPlan plan;
    plan.reexecute = true;
    ASSERT_NO_FATAL_FAILURE(begin(plan));
    EXPECT_EQ(retransmitState(), "off: the front end carries a repeated request out again");
    useTimeouts(kShortHandshakeMicros, kShortReplyMicros);
    const uint64_t before = executed();
    loseFragments(Direction::Replies, {1});
    CseResult result = CSE_SUCCESS;
    (void)exchange(6, &result);
    loseFragments(Direction::Replies, {});
    EXPECT_EQ(result, CSE_FAILURE);
    EXPECT_EQ(executed() - before, 1u);
    useTimeouts(kPatientMicros, kPatientMicros);
    (void)exchange(7, &result);
    EXPECT_EQ(result, CSE_FAILURE);
    EXPECT_TRUE(refused());
    ASSERT_EQ(selectUserRegister(), CSE_SUCCESS);
    (void)exchange(8, &result);
    EXPECT_EQ(result, CSE_SUCCESS);
}

// What retransmit=on would do on such a front end: the request whose reply was lost runs twice.
TEST_F(Retransmission, ForcedOnAgainstAFrontEndThatRunsRepeatsTwice) {
    quorbit::FaultPlan plan;
    plan.reexecute = true;
    retransmit = "on";
    ASSERT_NO_FATAL_FAILURE(begin(plan));
    const uint64_t before = executed();
    loseFragments(Direction::Replies, {1});
    CseResult result = CSE_SUCCESS;
    (void)exchange(9, &result);
    loseFragments(Direction::Replies, {});
    EXPECT_GE(executed() - before, 2u) << "the hazard auto avoids";
}

// The refusal's holes through the plug-in itself, after a lost reply and after a restart: a raw
// shift in Shift-DR reached by a navigation, and an IR scan continued from Pause-IR.
enum class Breakage { LostReply, Restart };
enum class Hole { RawShiftAfterNavigation, ContinuedIrScan, LongMergedDrShift };

struct HoleCase {
    const char* name;
    Breakage breakage;
    Hole hole;
    const char* shifts;
};

void PrintTo(const HoleCase& c, std::ostream* out) {
    *out << c.name;
}

class Holes : public Retransmission, public ::testing::WithParamInterface<HoleCase> {
  protected:
    // Breaks the link during a navigation to `state`; the plug-in recovers at the next call.
    void breakDuring(CseJtagTapState state) {
        const HoleCase& c = GetParam();
        if (c.breakage == Breakage::LostReply) {
            useTimeouts(kShortHandshakeMicros, kShortReplyMicros);
            loseFragments(Direction::Replies, {1});
            EXPECT_EQ(plugin->navigateTAP(state, 0), CSE_FAILURE);
            loseFragments(Direction::Replies, {});
            useTimeouts(kPatientMicros, kPatientMicros);
        } else {
            const uint16_t port = simulator->udpPort();
            ASSERT_NO_FATAL_FAILURE(startSimulator(quorbit::FaultPlan(), port));
        }
    }

    CseResult rawShift(uint32_t bits, uint8_t tmsByte) {
        std::vector<uint8_t> in(4 + 2 * ((bits + 7) / 8), 0);
        std::memcpy(in.data(), &bits, 4);
        in[4] = tmsByte;
        std::vector<uint8_t> out((bits + 7) / 8, 0);
        return plugin->sendCommand("raw-shift", in.data(), static_cast<uint32_t>(in.size()),
                                   out.data(), static_cast<uint32_t>(out.size()), 0, 0);
    }
};

TEST_P(Holes, AreClosed) {
    const HoleCase& c = GetParam();
    retransmit = "off";
    shifts = c.shifts;
    ASSERT_NO_FATAL_FAILURE(begin());
    CseResult result = CSE_FAILURE;
    switch (c.hole) {
        case Hole::RawShiftAfterNavigation:
            breakDuring(CSEJTAG_PAUSE_DR);
            ASSERT_EQ(plugin->navigateTAP(CSEJTAG_SHIFT_DR, 0), CSE_SUCCESS);
            EXPECT_EQ(rawShift(8, 0x00), CSE_FAILURE) << "eight bits of IDCODE";
            break;
        case Hole::ContinuedIrScan: {
            // The host's IR scan: 5 of the 15 bits, paused, then the rest after the breakage.
            const uint8_t ones[2] = {0xFF, 0x7F};
            ASSERT_EQ(
                plugin->shiftChainIR(ones, nullptr, nullptr, nullptr, 5, CSEJTAG_PAUSE_IR, 0, 0),
                CSE_SUCCESS);
            breakDuring(CSEJTAG_PAUSE_IR);
            ASSERT_EQ(plugin->shiftChainIR(ones, nullptr, nullptr, nullptr, 10,
                                           CSEJTAG_RUN_TEST_IDLE, 0, 0),
                      CSE_SUCCESS);
            (void)exchange(10, &result);
            EXPECT_EQ(result, CSE_FAILURE) << "a path of BYPASS registers, not the host's";
            break;
        }
        case Hole::LongMergedDrShift: {
            breakDuring(CSEJTAG_RUN_TEST_IDLE);
            const std::vector<uint8_t> tdi = patternBits(70000, 11);
            EXPECT_EQ(plugin->shiftChainDR(tdi.data(), nullptr, nullptr, nullptr, 70000,
                                           CSEJTAG_RUN_TEST_IDLE, 0, 0),
                      CSE_FAILURE);
            break;
        }
    }
    EXPECT_TRUE(refused());
    EXPECT_EQ(static_cast<CseJtagTapState>(simulator->tapState()), plugin->getTAPState());
    // Loading the instruction ends the refusal, and the register reads what it holds.
    ASSERT_EQ(selectUserRegister(), CSE_SUCCESS);
    const std::vector<uint8_t> expected = held();
    EXPECT_EQ(exchange(12, &result), expected);
    EXPECT_EQ(result, CSE_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, Holes,
    ::testing::Values(
        HoleCase{"RawShiftAfterLostReply", Breakage::LostReply, Hole::RawShiftAfterNavigation,
                 "split"},
        HoleCase{"RawShiftAfterRestart", Breakage::Restart, Hole::RawShiftAfterNavigation,
                 "merged"},
        HoleCase{"ContinuedIrAfterLostReply", Breakage::LostReply, Hole::ContinuedIrScan, "merged"},
        HoleCase{"ContinuedIrAfterRestart", Breakage::Restart, Hole::ContinuedIrScan, "split"},
        HoleCase{"LongMergedDrAfterRestart", Breakage::Restart, Hole::LongMergedDrShift, "merged"}),
    [](const ::testing::TestParamInfo<HoleCase>& info) { return info.param.name; });

}  // namespace
}  // namespace faults
