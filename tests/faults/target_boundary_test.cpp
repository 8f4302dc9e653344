// SPDX-License-Identifier: Apache-2.0
// Bad input at the plug-in's boundary, against a front end without faults: bit counts of 0 and
// 2^32-1, null buffers, devices and states out of range, and host arguments without values or far
// too long. Each is refused (or carried out exactly), nothing is sent for a refusal, and the
// session stays usable.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "remote/RemoteLink.h"
#include "remote/RemoteLinkTesting.h"
#include "support/FaultChain.h"
#include "support/FaultSession.h"

namespace faults {
namespace {

constexpr uint32_t kHugeBitCount = 0xFFFFFFFFu;
constexpr uint32_t kDevices = 3;

class TargetBoundaryTest : public FaultSession {
  protected:
    void SetUp() override {
        FaultSession::SetUp();
        ASSERT_NO_FATAL_FAILURE(startSimulator(quorbit::FaultPlan()));
        ASSERT_TRUE(openAndPrepare());
        simulator->resetInspection();
        stateBefore = plugin->getTAPState();
    }

    // Nothing reached the front end and the TAP is where it was.
    void expectUntouched() const {
        EXPECT_EQ(simulator->counters().requests, 0u);
        EXPECT_EQ(plugin->getTAPState(), stateBefore);
    }

    // After calls the model did not follow: a new session puts the TAP back in a known state.
    bool freshSession() {
        model->forgetUserRegisters();
        return openAndPrepare();
    }

    CseJtagTapState stateBefore = CSEJTAG_TEST_LOGIC_RESET;
    uint8_t small[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
};

TEST_F(TargetBoundaryTest, ZeroBitShiftsMoveOnlyTheTap) {
    EXPECT_EQ(plugin->shiftChainDR(nullptr, nullptr, nullptr, nullptr, 0, CSEJTAG_PAUSE_DR, 0, 0),
              CSE_SUCCESS);
    EXPECT_EQ(plugin->getTAPState(), CSEJTAG_PAUSE_DR);
    EXPECT_EQ(plugin->shiftChainIR(nullptr, nullptr, nullptr, nullptr, 0, CSEJTAG_SHIFT_IR, 0, 0),
              CSE_SUCCESS);
    EXPECT_EQ(plugin->writeDeviceDR(1, nullptr, nullptr, 0, CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_SUCCESS);
    EXPECT_EQ(plugin->getTAPState(), CSEJTAG_RUN_TEST_IDLE);
    EXPECT_EQ(static_cast<CseJtagTapState>(simulator->tapState()), CSEJTAG_RUN_TEST_IDLE);
    for (const quorbit::RawShiftRecord& shift : simulator->rawShifts()) {
        // Only TMS walks, and the one BYPASS bit the write puts in front of device 1.
        if (!shift.tdi.empty()) {
            EXPECT_EQ(shift.bitCount, 1u);
        }
    }
    EXPECT_TRUE(freshSession());
    EXPECT_TRUE(runScript());
}

TEST_F(TargetBoundaryTest, BitCountsOfTwoToThe32MinusOneAreRefusedBeforeTheBuffersAreRead) {
    // The buffers are 8 bytes: a read of any more would be caught by the sanitizers.
    EXPECT_EQ(plugin->shiftDeviceDR(0, small, small, nullptr, nullptr, kHugeBitCount,
                                    CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_FAILURE);
    EXPECT_EQ(
        plugin->readDeviceDR(2, true, small, nullptr, kHugeBitCount, CSEJTAG_RUN_TEST_IDLE, 0, 0),
        CSE_FAILURE);
    EXPECT_EQ(plugin->writeDeviceDR(2, small, nullptr, kHugeBitCount, CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_FAILURE);
    EXPECT_EQ(plugin->shiftDeviceIR(1, small, small, nullptr, nullptr, kHugeBitCount,
                                    CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_FAILURE);
    expectUntouched();
    // At chain level the walk to the shift state goes out; the shift itself is refused unsent.
    EXPECT_EQ(plugin->shiftChainIR(small, small, nullptr, nullptr, kHugeBitCount,
                                   CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_FAILURE);
    EXPECT_EQ(
        plugin->shiftChainDR(small, small, nullptr, nullptr, kHugeBitCount, CSEJTAG_SHIFT_DR, 0, 0),
        CSE_FAILURE);
    for (const quorbit::RawShiftRecord& shift : simulator->rawShifts()) {
        EXPECT_LE(shift.bitCount, 8u) << "only walks were sent";
    }
    EXPECT_EQ(std::memcmp(small, "\x11\x22\x33\x44\x55\x66\x77\x88", 8), 0);
    EXPECT_TRUE(runRounds(1) == 1);
}

TEST_F(TargetBoundaryTest, NullBuffersAreRefusedWhereBitsMustComeFromThem) {
    EXPECT_EQ(plugin->readChainDR(true, nullptr, nullptr, 16, CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_FAILURE);
    EXPECT_EQ(plugin->readChainIR(false, nullptr, nullptr, 16, CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_FAILURE);
    EXPECT_EQ(
        plugin->shiftDeviceDR(0, nullptr, small, nullptr, nullptr, 8, CSEJTAG_RUN_TEST_IDLE, 0, 0),
        CSE_FAILURE);
    EXPECT_EQ(plugin->readDeviceDR(0, true, nullptr, nullptr, 8, CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_FAILURE);
    EXPECT_EQ(plugin->writeDeviceDR(1, nullptr, nullptr, 8, CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_FAILURE);
    EXPECT_EQ(
        plugin->shiftDeviceIR(2, nullptr, small, nullptr, nullptr, 5, CSEJTAG_RUN_TEST_IDLE, 0, 0),
        CSE_FAILURE);
    EXPECT_EQ(plugin->getTargetInfo(nullptr), CSE_FAILURE);
    EXPECT_EQ(plugin->isConnected(nullptr), CSE_FAILURE);
    EXPECT_EQ(plugin->isFileOutput(nullptr), CSE_FAILURE);
    EXPECT_EQ(plugin->setOption(nullptr, "x"), CSE_FAILURE);
    EXPECT_EQ(plugin->getOption(nullptr, nullptr, 0), CSE_FAILURE);
    expectUntouched();
}

TEST_F(TargetBoundaryTest, ChainShiftWithoutTdiShiftsZeros) {
    uint8_t tdo[6] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    ASSERT_EQ(plugin->shiftChainIR(std::vector<uint8_t>(2, 0xFF).data(), nullptr, nullptr, nullptr,
                                   15, CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_SUCCESS);
    ASSERT_EQ(plugin->shiftChainDR(nullptr, tdo, nullptr, nullptr, 40, CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_SUCCESS);
    // Three BYPASS registers capture 0 and zeros follow them.
    for (int byte = 0; byte < 5; ++byte) EXPECT_EQ(tdo[byte], 0x00) << byte;
    EXPECT_EQ(tdo[5], 0xAA) << "the byte after the 40 bits is not written";
}

TEST_F(TargetBoundaryTest, DevicesOutOfRangeAreRefused) {
    for (const uint32_t device : {kDevices, 254u, 255u, 0xFFFFFFFFu}) {
        EXPECT_EQ(plugin->shiftDeviceDR(device, small, small, nullptr, nullptr, 8,
                                        CSEJTAG_RUN_TEST_IDLE, 0, 0),
                  CSE_FAILURE)
            << device;
        EXPECT_EQ(
            plugin->readDeviceDR(device, true, small, nullptr, 8, CSEJTAG_RUN_TEST_IDLE, 0, 0),
            CSE_FAILURE);
        EXPECT_EQ(plugin->writeDeviceDR(device, small, nullptr, 8, CSEJTAG_RUN_TEST_IDLE, 0, 0),
                  CSE_FAILURE);
        EXPECT_EQ(plugin->shiftDeviceIR(device, small, small, nullptr, nullptr, 1,
                                        CSEJTAG_RUN_TEST_IDLE, 0, 0),
                  CSE_FAILURE);
        EXPECT_EQ(plugin->getIRLength(device), 0u);
        EXPECT_EQ(plugin->getDeviceID(device), 0u);
        EXPECT_EQ(plugin->setIRLength(device, 4), CSE_FAILURE);
        EXPECT_EQ(plugin->setDeviceID(device, 0x12345679u), CSE_FAILURE);
    }
    EXPECT_EQ(plugin->setIRLength(0, 0xFFFFFFFFu), CSE_FAILURE) << "the total would overflow";
    EXPECT_EQ(plugin->getIRLength(0), 6u);
    EXPECT_EQ(plugin->setDeviceCount(256), CSE_FAILURE);
    EXPECT_EQ(plugin->getDeviceCount(), kDevices);
    expectUntouched();
}

TEST_F(TargetBoundaryTest, StatesOutOfRangeAreRefusedWithoutMovingTheTap) {
    for (const uint32_t state : {16u, 99u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        const auto bad = static_cast<CseJtagTapState>(state);
        EXPECT_EQ(plugin->navigateTAP(bad, 0), CSE_FAILURE) << state;
        EXPECT_EQ(plugin->navigateTAP(bad, 3, 10), CSE_FAILURE) << state;
        EXPECT_EQ(plugin->shiftChainIR(small, small, nullptr, nullptr, 8, bad, 0, 0), CSE_FAILURE);
        EXPECT_EQ(plugin->shiftChainDR(small, small, nullptr, nullptr, 8, bad, 0, 0), CSE_FAILURE);
        EXPECT_EQ(plugin->shiftDeviceDR(0, small, small, nullptr, nullptr, 8, bad, 0, 0),
                  CSE_FAILURE);
    }
    expectUntouched();
    EXPECT_EQ(static_cast<CseJtagTapState>(simulator->tapState()), stateBefore);
    EXPECT_TRUE(runScript());
}

struct ArgumentCase {
    const char* name;
    std::vector<std::string> arguments;  // "PORT" stands for the emulator's port
    bool opens;
};

void PrintTo(const ArgumentCase& arguments, std::ostream* out) {
    *out << arguments.name;
}

class HostArgumentTest : public FaultSession, public ::testing::WithParamInterface<ArgumentCase> {};

TEST_P(HostArgumentTest, OpenSucceedsOrFailsCleanlyAndAGoodOpenFollows) {
    ASSERT_NO_FATAL_FAILURE(startSimulator(quorbit::FaultPlan()));
    useTimeouts(kShortHandshakeMicros, kShortReplyMicros);
    std::vector<std::string> arguments;
    for (const std::string& argument : GetParam().arguments) {
        arguments.push_back(argument == "PORT" ? "port=" + std::to_string(simulator->udpPort())
                                               : argument);
    }
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    argv.push_back(nullptr);  // a null entry among the arguments is skipped
    const CseResult result =
        plugin->openTarget(static_cast<uint32_t>(argv.size()), argv.data(), 0, 0);
    EXPECT_EQ(result, GetParam().opens ? CSE_SUCCESS : CSE_FAILURE);
    const RemoteLinkState& link = LinkStateForTest();
    EXPECT_LT(std::strlen(link.nodeName), sizeof link.nodeName);

    CseTargetInfo info;
    ASSERT_EQ(plugin->getTargetInfo(&info), CSE_SUCCESS);
    EXPECT_LT(std::strlen(info.type), sizeof info.type);

    useTimeouts(kPatientMicros, kPatientMicros);
    EXPECT_EQ(runRounds(1), 1);
}

const std::string kLongText(20000, 'k');

INSTANTIATE_TEST_SUITE_P(
    Arguments, HostArgumentTest,
    ::testing::Values(
        ArgumentCase{"NodeWithoutValue", {"node=", "PORT"}, false},
        ArgumentCase{"PortWithoutValue", {"node=127.0.0.1", "port="}, false},
        ArgumentCase{"PortBeyond32Bits", {"node=127.0.0.1", "port=99999999999999999999"}, false},
        ArgumentCase{"PortWithSign", {"node=127.0.0.1", "port=-1"}, false},
        ArgumentCase{"NodeOf20000Characters", {"node=" + kLongText, "PORT"}, false},
        ArgumentCase{"KeyOf20000Characters", {kLongText + "=1", "node=127.0.0.1", "PORT"}, true},
        ArgumentCase{
            "TypeOf20000Characters", {"node=127.0.0.1", "PORT", "type=" + kLongText}, true},
        ArgumentCase{"ValueWithEqualsSigns", {"node=127.0.0.1", "PORT", "type=a=b=c"}, true}),
    [](const ::testing::TestParamInfo<ArgumentCase>& info) {
        return std::string(info.param.name);
    });

}  // namespace
}  // namespace faults
