// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "tests/framework/support/RecordingCallbacks.h"
#include "tests/framework/support/RecordingTarget.h"

namespace {

using namespace CsePluginInterface;
using krvtest::RecordingCallbacks;
using krvtest::RecordingTarget;
using Lines = std::vector<std::string>;

TEST(ChainAccess, ShiftsPassEveryArgumentUnchanged) {
    RecordingTarget target;
    const uint8_t tdi[2] = {0x12, 0x34};
    uint8_t tdo[2] = {};
    const uint8_t tdiAux[2] = {};
    uint8_t tdoAux[2] = {};
    ASSERT_EQ(target.shiftChainIR(tdi, tdo, tdiAux, tdoAux, 13, CSEJTAG_PAUSE_IR, 5, 6),
              CSE_SUCCESS);
    ASSERT_EQ(target.shiftChainDR(tdi, nullptr, nullptr, nullptr, 16, CSEJTAG_EXIT1_DR, 7, 8),
              CSE_SUCCESS);
    ASSERT_EQ(target.shifts.size(), 2u);
    const auto& ir = target.shifts[0];
    EXPECT_TRUE(ir.instructionRegister);
    EXPECT_EQ(ir.tdiBuffer, tdi);
    EXPECT_EQ(ir.tdoBuffer, tdo);
    EXPECT_EQ(ir.tdiAuxBuffer, tdiAux);
    EXPECT_EQ(ir.tdoAuxBuffer, tdoAux);
    EXPECT_EQ(ir.bitCount, 13u);
    EXPECT_EQ(ir.endState, CSEJTAG_PAUSE_IR);
    EXPECT_EQ(ir.opaque1, 5u);
    EXPECT_EQ(ir.opaque2, 6u);
    const auto& dr = target.shifts[1];
    EXPECT_FALSE(dr.instructionRegister);
    EXPECT_EQ(dr.tdoBuffer, nullptr);
    EXPECT_EQ(dr.endState, CSEJTAG_EXIT1_DR);
    EXPECT_EQ(dr.opaque2, 8u);
}

TEST(ChainAccess, ReadFillsOnesAndShiftsInPlace) {
    RecordingTarget target;
    std::array<uint8_t, 3> buffer = {0x00, 0x00, 0x5A};
    uint8_t tdoAux[2] = {};
    ASSERT_EQ(target.readChainDR(true, buffer.data(), tdoAux, 12, CSEJTAG_RUN_TEST_IDLE, 1, 2),
              CSE_SUCCESS);
    ASSERT_EQ(target.shifts.size(), 1u);
    const auto& shift = target.shifts[0];
    EXPECT_EQ(shift.tdiBits, (std::vector<uint8_t>{0xFF, 0xFF}));
    EXPECT_EQ(shift.tdiBuffer, buffer.data());
    EXPECT_EQ(shift.tdoBuffer, buffer.data());
    EXPECT_EQ(shift.tdiAuxBuffer, nullptr);
    EXPECT_EQ(shift.tdoAuxBuffer, tdoAux);
    EXPECT_EQ(shift.opaque1, 1u);
    EXPECT_EQ(buffer[2], 0x5A);  // beyond the 12 bits
}

TEST(ChainAccess, ReadWithZerosClearsExactlyTheBytesOfTheBits) {
    RecordingTarget target;
    target.tdoFill = 0x3C;
    std::array<uint8_t, 3> buffer = {0xFF, 0xFF, 0xFF};
    ASSERT_EQ(target.readChainIR(false, buffer.data(), nullptr, 9, CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_SUCCESS);
    EXPECT_EQ(target.shifts[0].tdiBits, (std::vector<uint8_t>{0x00, 0x00}));
    EXPECT_TRUE(target.shifts[0].instructionRegister);
    // The captured bits replace the constant stream; the third byte is never touched.
    EXPECT_EQ(buffer, (std::array<uint8_t, 3>{0x3C, 0x3C, 0xFF}));
}

TEST(ChainAccess, ReadNestsTheTracedShift) {
    RecordingTarget target;
    target.shiftResult = static_cast<CseResult>(0x80000005u);
    RecordingCallbacks recorder;
    uint8_t buffer[1] = {};
    EXPECT_EQ(target.readChainIR(true, buffer, nullptr, 8, CSEJTAG_RUN_TEST_IDLE, 0, 0),
              static_cast<CseResult>(0x80000005u));
    EXPECT_EQ(recorder.traces(),
              (Lines{"> CsePlugin::readChainIR", "  > CsePlugin::shiftChainIR",
                     "  < CSE_FAILURE, ERROR CODE: 5", "< CSE_FAILURE, ERROR CODE: 5"}));
}

TEST(ChainAccess, WritePassesNoTdoBuffersAndTheAuxInThirdPlace) {
    RecordingTarget target;
    const uint8_t tdi[1] = {0x0F};
    const uint8_t tdiAux[1] = {0xF0};
    RecordingCallbacks recorder;
    ASSERT_EQ(target.writeChainIR(tdi, tdiAux, 4, CSEJTAG_UPDATE_IR, 3, 4), CSE_SUCCESS);
    ASSERT_EQ(target.writeChainDR(tdi, nullptr, 4, CSEJTAG_UPDATE_DR, 3, 4), CSE_SUCCESS);
    ASSERT_EQ(target.shifts.size(), 2u);
    EXPECT_EQ(target.shifts[0].tdiBuffer, tdi);
    EXPECT_EQ(target.shifts[0].tdoBuffer, nullptr);
    EXPECT_EQ(target.shifts[0].tdiAuxBuffer, tdiAux);
    EXPECT_EQ(target.shifts[0].tdoAuxBuffer, nullptr);
    EXPECT_FALSE(target.shifts[1].instructionRegister);
    EXPECT_EQ(recorder.traces(),
              (Lines{"> CsePlugin::writeChainIR", "  > CsePlugin::shiftChainIR", "  < CSE_SUCCESS",
                     "< CSE_SUCCESS", "> CsePlugin::writeChainDR", "  > CsePlugin::shiftChainDR",
                     "  < CSE_SUCCESS", "< CSE_SUCCESS"}));
}

TEST(ChainAccess, ZeroBitsFillNothingAndStillShift) {
    RecordingTarget target;
    uint8_t buffer[1] = {0x77};
    target.tdoFill = 0x11;
    ASSERT_EQ(target.readChainDR(false, buffer, nullptr, 0, CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_SUCCESS);
    EXPECT_EQ(buffer[0], 0x77);
    EXPECT_EQ(target.calls, (Lines{"shiftChainDRImpl(0)"}));
}

TEST(ChainAccess, ReadsRefuseANullBuffer) {
    RecordingTarget target;
    RecordingCallbacks recorder;
    EXPECT_EQ(target.readChainIR(true, nullptr, nullptr, 8, CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_FAILURE);
    EXPECT_EQ(target.readChainDR(true, nullptr, nullptr, 8, CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_FAILURE);
    EXPECT_TRUE(target.shifts.empty());
    EXPECT_EQ(recorder.logs(1), (Lines{"<CsePlugin> readChainIR called with a NULL tdoBuffer\n",
                                       "<CsePlugin> readChainDR called with a NULL tdoBuffer\n"}));
    EXPECT_EQ(recorder.traces(),
              (Lines{"> CsePlugin::readChainIR", "< CSE_FAILURE, ERROR CODE: 0",
                     "> CsePlugin::readChainDR", "< CSE_FAILURE, ERROR CODE: 0"}));
}

TEST(ChainAccess, NeedsNeitherLockNorOpenTarget) {
    RecordingTarget target;
    uint8_t buffer[1] = {};
    EXPECT_EQ(target.shiftChainIR(buffer, buffer, nullptr, nullptr, 8, CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_SUCCESS);
    EXPECT_EQ(target.readChainIR(true, buffer, nullptr, 8, CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_SUCCESS);
    EXPECT_EQ(target.writeChainIR(buffer, nullptr, 8, CSEJTAG_RUN_TEST_IDLE, 0, 0), CSE_SUCCESS);
    EXPECT_EQ(target.shiftChainDR(buffer, buffer, nullptr, nullptr, 8, CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_SUCCESS);
    EXPECT_EQ(target.readChainDR(true, buffer, nullptr, 8, CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_SUCCESS);
    EXPECT_EQ(target.writeChainDR(buffer, nullptr, 8, CSEJTAG_RUN_TEST_IDLE, 0, 0), CSE_SUCCESS);
    EXPECT_EQ(target.shifts.size(), 6u);
}

}  // namespace
