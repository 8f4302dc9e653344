// SPDX-License-Identifier: Apache-2.0
// A host goes on with the same session after a failed call, often without loading its instructions
// again. Whatever failed and however the link broke, every later answer is right or refused: a DR
// shift after a recovery reset is refused until an instruction is shifted again, an outage or a
// restarted front end ends no session, and a request that went out whole but failed to say so
// still leaves the TAP to be brought back.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "framework/CallbackRecord.h"
#include "remote/RemoteLink.h"
#include "support/DroppingSockets.h"
#include "support/FaultSession.h"

namespace faults {
namespace {

// Device 1 of the fault chain: a 32-bit user register, no IDCODE.
constexpr uint32_t kDevice = 1;
constexpr uint8_t kUserOpcode = 0x3;
constexpr uint32_t kUserBits = 32;
constexpr uint32_t kChainDrBits = kUserBits + 2;  // one BYPASS bit for each other device

std::vector<std::string> gMessages;

void keepMessage(uint32_t, uint32_t category, const char* text) {
    if (category == CSE_MESSAGE_ERROR || category == CSE_MESSAGE_WARNING)
        gMessages.emplace_back(text);
}

bool said(const char* words) {
    return std::any_of(gMessages.begin(), gMessages.end(), [words](const std::string& line) {
        return line.find(words) != std::string::npos;
    });
}

constexpr char kRefusal[] = "shift the instructions again";

class AfterFailure : public FaultSession {
  protected:
    void SetUp() override {
        FaultSession::SetUp();
        ASSERT_NO_FATAL_FAILURE(startSimulator(quorbit::FaultPlan()));
        sockets = std::make_unique<DroppingSockets>();
        ASSERT_TRUE(openAndPrepare());
        CsePluginCallbacks callbacks{};
        callbacks.messageCallback = keepMessage;
        CallbackRecord::replace(callbacks);
        gMessages.clear();
        ASSERT_EQ(selectUserRegister(), CSE_SUCCESS);
        const std::vector<uint8_t> first = patternBits(kUserBits, 1);
        ASSERT_EQ(plugin->writeDeviceDR(kDevice, first.data(), nullptr, kUserBits,
                                        CSEJTAG_RUN_TEST_IDLE, 0, 0),
                  CSE_SUCCESS);
    }

    void TearDown() override {
        sockets.reset();
        CallbackRecord::replace(CsePluginCallbacks{});
        FaultSession::TearDown();
    }

    CseResult selectUserRegister() {
        const uint8_t opcode[1] = {kUserOpcode};
        return plugin->shiftDeviceIR(kDevice, opcode, nullptr, nullptr, nullptr, 4,
                                     CSEJTAG_RUN_TEST_IDLE, 0, 0);
    }

    // What the host reads of the register is what the emulator holds (the read shifts zeros in).
    void expectRegisterReadsRight() {
        std::vector<uint8_t> held;
        ASSERT_TRUE(simulator->userRegister(kDevice, kUserOpcode, held));
        ASSERT_EQ(held.size(), 4u);
        uint8_t read[5] = {};
        ASSERT_EQ(plugin->readDeviceDR(kDevice, false, read, nullptr, kUserBits,
                                       CSEJTAG_RUN_TEST_IDLE, 0, 0),
                  CSE_SUCCESS);
        EXPECT_EQ(std::vector<uint8_t>(read, read + 4), held);
    }

    void expectStateAgrees() {
        EXPECT_EQ(static_cast<CseJtagTapState>(simulator->tapState()), plugin->getTAPState());
    }

    std::unique_ptr<DroppingSockets> sockets;
};

// ---- Rule: a recovery reset refuses DR shifts until an instruction is shifted again -----------

enum class FailingStep { Walk, IrShift, DrShift };
enum class DrCall { ChainShift, ChainRead, ChainWrite, DeviceShift, DeviceRead, DeviceWrite };

struct RefusalCase {
    FailingStep step;
    DrCall call;
};

void PrintTo(const RefusalCase& c, std::ostream* out) {
    *out << "step " << static_cast<int>(c.step) << ", DR call " << static_cast<int>(c.call);
}

CseResult runStep(QXCsePlugin& plugin, FailingStep step) {
    const uint8_t opcode[1] = {kUserOpcode};
    const std::vector<uint8_t> bits = patternBits(kUserBits, 2);
    switch (step) {
        case FailingStep::Walk:
            return plugin.navigateTAP(CSEJTAG_PAUSE_DR, 0);
        case FailingStep::IrShift:
            return plugin.shiftDeviceIR(kDevice, opcode, nullptr, nullptr, nullptr, 4,
                                        CSEJTAG_RUN_TEST_IDLE, 0, 0);
        case FailingStep::DrShift:
            return plugin.writeDeviceDR(kDevice, bits.data(), nullptr, kUserBits,
                                        CSEJTAG_RUN_TEST_IDLE, 0, 0);
    }
    return CSE_FAILURE;
}

CseResult runDrCall(QXCsePlugin& plugin, DrCall call) {
    std::vector<uint8_t> in = patternBits(kChainDrBits, 3);
    std::vector<uint8_t> out(in.size(), 0);
    const CseJtagTapState idle = CSEJTAG_RUN_TEST_IDLE;
    switch (call) {
        case DrCall::ChainShift:
            return plugin.shiftChainDR(in.data(), out.data(), nullptr, nullptr, kChainDrBits, idle,
                                       0, 0);
        case DrCall::ChainRead:
            return plugin.readChainDR(true, out.data(), nullptr, kChainDrBits, idle, 0, 0);
        case DrCall::ChainWrite:
            return plugin.writeChainDR(in.data(), nullptr, kChainDrBits, idle, 0, 0);
        case DrCall::DeviceShift:
            return plugin.shiftDeviceDR(kDevice, in.data(), out.data(), nullptr, nullptr, kUserBits,
                                        idle, 0, 0);
        case DrCall::DeviceRead:
            return plugin.readDeviceDR(kDevice, false, out.data(), nullptr, kUserBits, idle, 0, 0);
        case DrCall::DeviceWrite:
            return plugin.writeDeviceDR(kDevice, in.data(), nullptr, kUserBits, idle, 0, 0);
    }
    return CSE_FAILURE;
}

class RefusedAfterRecovery : public AfterFailure,
                             public ::testing::WithParamInterface<RefusalCase> {};

// Broke: the recovery's TMS reset put IDCODE or BYPASS back into every IR, and the DR shifts after
// it reported success with bits of those registers instead of the one the host had selected.
TEST_P(RefusedAfterRecovery, EveryDrShiftIsRefusedUntilAnInstructionIsShiftedAgain) {
    const RefusalCase c = GetParam();
    useTimeouts(kShortHandshakeMicros, kShortReplyMicros);
    loseFragments(Direction::Replies, {1});  // the front end carries the step out; no one hears
    ASSERT_EQ(runStep(*plugin, c.step), CSE_FAILURE);
    loseFragments(Direction::Replies, {});
    useTimeouts(kPatientMicros, kPatientMicros);

    for (int again = 0; again < 2; ++again) {
        gMessages.clear();
        EXPECT_EQ(runDrCall(*plugin, c.call), CSE_FAILURE) << "attempt " << again;
        EXPECT_TRUE(said(kRefusal)) << ::testing::PrintToString(gMessages);
        expectStateAgrees();
    }
    EXPECT_EQ(plugin->navigateTAP(CSEJTAG_RUN_TEST_IDLE, 0), CSE_SUCCESS) << "not a DR shift";
    EXPECT_EQ(runDrCall(*plugin, c.call), CSE_FAILURE) << "a navigation loads no instruction";
    ASSERT_EQ(selectUserRegister(), CSE_SUCCESS);
    EXPECT_EQ(runDrCall(*plugin, c.call), CSE_SUCCESS);
    expectRegisterReadsRight();
    EXPECT_EQ(openings, 1);
}

std::vector<RefusalCase> refusalCases() {
    std::vector<RefusalCase> cases;
    for (FailingStep step : {FailingStep::Walk, FailingStep::IrShift, FailingStep::DrShift}) {
        for (DrCall call : {DrCall::ChainShift, DrCall::ChainRead, DrCall::ChainWrite,
                            DrCall::DeviceShift, DrCall::DeviceRead, DrCall::DeviceWrite}) {
            cases.push_back({step, call});
        }
    }
    return cases;
}

std::string refusalName(const ::testing::TestParamInfo<RefusalCase>& info) {
    const char* steps[] = {"Walk", "IrShift", "DrShift"};
    const char* calls[] = {"ChainShift",  "ChainRead",  "ChainWrite",
                           "DeviceShift", "DeviceRead", "DeviceWrite"};
    return std::string("After") + steps[static_cast<int>(info.param.step)] +
           calls[static_cast<int>(info.param.call)];
}

INSTANTIATE_TEST_SUITE_P(Steps, RefusedAfterRecovery, ::testing::ValuesIn(refusalCases()),
                         refusalName);

// A reset the host asks for itself tells it what the IRs hold: nothing is refused after it.
TEST_F(AfterFailure, HostsOwnResetEndsTheRefusal) {
    useTimeouts(kShortHandshakeMicros, kShortReplyMicros);
    loseFragments(Direction::Replies, {1});
    ASSERT_EQ(runStep(*plugin, FailingStep::Walk), CSE_FAILURE);
    loseFragments(Direction::Replies, {});
    useTimeouts(kPatientMicros, kPatientMicros);
    ASSERT_EQ(runDrCall(*plugin, DrCall::ChainRead), CSE_FAILURE);
    ASSERT_EQ(plugin->navigateTAP(CSEJTAG_TEST_LOGIC_RESET, 0), CSE_SUCCESS);
    EXPECT_EQ(runDrCall(*plugin, DrCall::ChainRead), CSE_SUCCESS);
    ASSERT_EQ(runDrCall(*plugin, DrCall::ChainRead), CSE_SUCCESS);
    ASSERT_EQ(plugin->initializeTAP(), CSE_SUCCESS);
    EXPECT_EQ(runDrCall(*plugin, DrCall::DeviceRead), CSE_SUCCESS);
}

// ---- Rule: no outage ends the session ---------------------------------------------------------

class Outage : public AfterFailure, public ::testing::WithParamInterface<int> {};

// Broke: five datagrams lost in a row (a request or reply and the four syncs after it) made the
// link "no longer answers" for good, and every later call failed until the host opened again.
TEST_P(Outage, CostsTheCallsDuringItAndNoReopen) {
    useTimeouts(kShortHandshakeMicros, kShortReplyMicros);
    loseBurst(GetParam());
    int failed = 0;
    while (plugin->navigateTAP(CSEJTAG_PAUSE_IR, 0) != CSE_SUCCESS && failed < 100) ++failed;
    EXPECT_GT(failed, 0);
    EXPECT_LT(failed, 100) << "the session never came back";
    expectStateAgrees();
    useTimeouts(kPatientMicros, kPatientMicros);
    EXPECT_EQ(runDrCall(*plugin, DrCall::DeviceRead), CSE_FAILURE) << "the TAP was reset";
    ASSERT_EQ(selectUserRegister(), CSE_SUCCESS);
    expectRegisterReadsRight();
    EXPECT_EQ(openings, 1);
}

INSTANTIATE_TEST_SUITE_P(LostDatagrams, Outage, ::testing::Values(5, 20, 50));

// What the first call after the front end came back is, and how it must end.
struct RestartCase {
    const char* name;
    FailingStep first;
    CseResult result;
    bool downFirst;  // the front end was away for a failed call before it came back
};

void PrintTo(const RestartCase& c, std::ostream* out) {
    *out << c.name;
}

class Restart : public AfterFailure, public ::testing::WithParamInterface<RestartCase> {};

// Broke: a restarted front end failed the next calls after time-outs and then for good, until the
// host opened the target again. Now the plug-in connects to it again by itself, and the first call
// works or is refused as any DR shift after a reset is.
TEST_P(Restart, FrontEndOnTheSamePortIsConnectedToAgain) {
    const RestartCase c = GetParam();
    const uint16_t port = simulator->udpPort();
    if (c.downFirst) {
        simulator->stop();
        useTimeouts(kShortHandshakeMicros, kShortReplyMicros);
        EXPECT_EQ(plugin->navigateTAP(CSEJTAG_PAUSE_IR, 0), CSE_FAILURE);
        useTimeouts(kPatientMicros, kPatientMicros);
    }
    ASSERT_NO_FATAL_FAILURE(startSimulator(quorbit::FaultPlan(), port));
    EXPECT_EQ(runStep(*plugin, c.first), c.result);
    EXPECT_TRUE(said("connected to the KORAVEN debugger's front end again"))
        << ::testing::PrintToString(gMessages);
    EXPECT_EQ(said(kRefusal), c.result == CSE_FAILURE);
    expectStateAgrees();
    ASSERT_EQ(selectUserRegister(), CSE_SUCCESS);
    const std::vector<uint8_t> bits = patternBits(kUserBits, 9);
    ASSERT_EQ(plugin->writeDeviceDR(kDevice, bits.data(), nullptr, kUserBits, CSEJTAG_RUN_TEST_IDLE,
                                    0, 0),
              CSE_SUCCESS);
    expectRegisterReadsRight();
    EXPECT_EQ(openings, 1);
    EXPECT_EQ(simulator->counters().connects, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    FirstCalls, Restart,
    ::testing::Values(RestartCase{"Walk", FailingStep::Walk, CSE_SUCCESS, false},
                      RestartCase{"IrShift", FailingStep::IrShift, CSE_SUCCESS, false},
                      RestartCase{"DrShift", FailingStep::DrShift, CSE_FAILURE, false},
                      RestartCase{"WalkAfterAnOutage", FailingStep::Walk, CSE_SUCCESS, true}),
    [](const ::testing::TestParamInfo<RestartCase>& info) { return info.param.name; });

// ---- A request that went out whole, though the client could not tell ------------------------

// Broke (nothing noticed it): losing only the flow token after the last fragment of a long shift
// fails the call as "not sent whole", yet the front end has the whole request and runs it; the next
// operation must bring the TAP back before it moves.
TEST_F(AfterFailure, LostLastFlowTokenStillBringsTheTapBack) {
    // 122816 bits of TDI with TDO wanted: 16 fragments at packet length 1024, tokens after 5..16.
    constexpr uint32_t kBits = 122816;
    const std::vector<uint8_t> tdi = patternBits(kBits, 5);
    std::vector<uint8_t> tdo(tdi.size(), 0);
    ASSERT_EQ(plugin->navigateTAP(CSEJTAG_SHIFT_DR, 0), CSE_SUCCESS);
    useTimeouts(kShortHandshakeMicros, kShortReplyMicros);
    const uint64_t requests = simulator->counters().requests;
    const uint64_t tokens = simulator->counters().flowTokensSent;
    loseFlowTokens({12});
    EXPECT_EQ(plugin->shiftChainDR(tdi.data(), tdo.data(), nullptr, nullptr, kBits,
                                   CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_FAILURE);
    EXPECT_EQ(KRV_LastResult(), -2);
    EXPECT_EQ(simulator->counters().flowTokensSent, tokens + 12);
    EXPECT_EQ(simulator->counters().requests, requests + 1) << "the front end ran it all the same";
    loseFlowTokens({});
    useTimeouts(kPatientMicros, kPatientMicros);
    EXPECT_EQ(plugin->navigateTAP(CSEJTAG_PAUSE_IR, 0), CSE_SUCCESS);
    expectStateAgrees();
}

}  // namespace
}  // namespace faults
