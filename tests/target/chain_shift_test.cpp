// SPDX-License-Identifier: Apache-2.0
// Chain-level IR and DR shifts on the debugger: navigation around them, pieces of long DR shifts,
// data through the emulated chain, the TDI dump, status bytes and refused end states.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "remote/RemoteLink.h"
#include "remote/RemoteLinkTesting.h"
#include "support/SimulatedTarget.h"

namespace {

using namespace targettest;

constexpr uint32_t kError = 0x100;
constexpr uint32_t kDebug = 0x8000;
constexpr uint16_t kTmsOnly = 0x0001;
constexpr uint16_t kTdiTdo = 0x0006;
constexpr uint16_t kTdiTdoLeaving = 0x000E;  // option 8: the last bit with TMS 1
constexpr uint32_t kDemoIrBits = 6 + 8 + 4;

std::vector<int> tmsBits(const quorbit::RawShiftRecord& shift) {
    std::vector<int> bits;
    for (uint32_t n = 0; n < shift.bitCount && n / 8 < shift.tms.size(); ++n) {
        bits.push_back((shift.tms[n / 8] >> (n % 8)) & 1);
    }
    return bits;
}

class ChainShift : public SimulatedTargetTest {
  protected:
    // Every device of the demo chain into BYPASS, the TAP back in Run-Test/Idle, logs cleared.
    void bypassAll() {
        std::vector<uint8_t> ones((kDemoIrBits + 7) / 8, 0xFF);
        ASSERT_EQ(plugin->shiftChainIR(ones.data(), nullptr, nullptr, nullptr, kDemoIrBits,
                                       CSEJTAG_RUN_TEST_IDLE, 0, 0),
                  CSE_SUCCESS);
        simulator->resetInspection();
        recorder.clear();
    }
};

TEST_F(ChainShift, IrShiftFromRunTestIdleNavigatesShiftsAndReturns) {
    startSimulator();
    openAndLock();
    std::vector<uint8_t> tdi((kDemoIrBits + 7) / 8, 0xFF);
    std::vector<uint8_t> tdo(tdi.size(), 0);
    ASSERT_EQ(plugin->shiftChainIR(tdi.data(), tdo.data(), nullptr, nullptr, kDemoIrBits,
                                   CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_SUCCESS);
    const auto shifts = rawShifts();
    ASSERT_EQ(shifts.size(), 3u);
    EXPECT_EQ(tmsBits(shifts[0]), (std::vector<int>{1, 1, 0, 0}));
    EXPECT_EQ(shifts[1].optionWord, kTdiTdoLeaving);
    EXPECT_EQ(shifts[1].bitCount, kDemoIrBits);
    EXPECT_EQ(tmsBits(shifts[2]), (std::vector<int>{1, 0}));
    EXPECT_EQ(simulatorState(), CSEJTAG_RUN_TEST_IDLE);
    EXPECT_EQ(plugin->getTAPState(), CSEJTAG_RUN_TEST_IDLE);
    // Every device captures ...01, the device nearest TDO first: 4, 8 and 6 bits.
    uint32_t captured = 0;
    for (uint32_t bit = 0; bit < kDemoIrBits; ++bit) captured |= (bitOf(tdo, bit) ? 1u : 0u) << bit;
    EXPECT_EQ(captured & 0x3u, 0x1u);
    EXPECT_EQ((captured >> 4) & 0x3u, 0x1u);
    EXPECT_EQ((captured >> 12) & 0x3u, 0x1u);

    const std::vector<std::string> expected = {
        ">>Enter>> QXCsePlugin::shiftChainIRImpl()\n",
        "currenttapstate(1) != shiftIR \n",
        ">>Enter>> QXCsePlugin::navigateTAPImpl()\n",
        "Exit navigateTAPimpl() with currentTapState = 11 \n",
        "<<Exit<<  QXCsePlugin::navigateTAPImpl() : CSE_SUCCESS\n",
        "exitstate(1) != shiftIR \n",
        "shift to exitstate(1) != shiftIR\n",
        ">>Enter>> QXCsePlugin::navigateTAPImpl()\n",
        "Exit navigateTAPimpl() with currentTapState = 1 \n",
        "<<Exit<<  QXCsePlugin::navigateTAPImpl() : CSE_SUCCESS\n",
        "Exitschiftstate = 1 Shiftcount = 18 \n",
        "<<Exit<<  QXCsePlugin::shiftChainIRImpl() : CSE_SUCCESS\n"};
    EXPECT_EQ(recorder.targetLines(), expected);
}

TEST_F(ChainShift, IrShiftEndingInShiftIrStaysThereAndTheNextNeedsNoNavigation) {
    startSimulator();
    openAndLock();
    std::vector<uint8_t> tdi(1, 0xFF);
    ASSERT_EQ(
        plugin->shiftChainIR(tdi.data(), nullptr, nullptr, nullptr, 8, CSEJTAG_SHIFT_IR, 0, 0),
        CSE_SUCCESS);
    auto shifts = rawShifts();
    ASSERT_EQ(shifts.size(), 2u);
    EXPECT_EQ(shifts[1].optionWord, 0x0002) << "TDI only, options 0";
    EXPECT_TRUE(recorder.hasMessage(kDebug, "KORAVEN: exitstate(11) == shiftIR\n"));
    simulator->resetInspection();
    ASSERT_EQ(
        plugin->shiftChainIR(tdi.data(), nullptr, nullptr, nullptr, 8, CSEJTAG_SHIFT_IR, 0, 0),
        CSE_SUCCESS);
    shifts = rawShifts();
    ASSERT_EQ(shifts.size(), 1u);
    EXPECT_EQ(simulatorState(), CSEJTAG_SHIFT_IR);
}

TEST_F(ChainShift, DrShiftOf300000BitsGoesInThreePiecesWithItsDataIntact) {
    startSimulator();
    openAndLock();
    bypassAll();
    const uint32_t bitCount = 300000;
    const std::vector<uint8_t> tdi = patternBytes(bitCount / 8, 7);
    std::vector<uint8_t> tdo(tdi.size(), 0xAA);
    ASSERT_EQ(plugin->shiftChainDR(tdi.data(), tdo.data(), nullptr, nullptr, bitCount,
                                   CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_SUCCESS);
    const auto shifts = rawShifts();
    ASSERT_EQ(shifts.size(), 5u);
    EXPECT_EQ(tmsBits(shifts[0]), (std::vector<int>{1, 0, 0}));
    const uint32_t pieces[3] = {122816, 122816, 54368};
    const uint16_t options[3] = {kTdiTdo, kTdiTdo, kTdiTdoLeaving};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(shifts[1 + i].bitCount, pieces[i]);
        EXPECT_EQ(shifts[1 + i].optionWord, options[i]);
        EXPECT_EQ(shifts[1 + i].tdoBytes, pieces[i] / 8);
    }
    EXPECT_EQ(tmsBits(shifts[4]), (std::vector<int>{1, 0}));
    EXPECT_EQ(simulatorState(), CSEJTAG_RUN_TEST_IDLE);
    // Three BYPASS bits delay the stream by three clocks; they captured zeros.
    for (uint32_t bit = 0; bit < 3; ++bit) EXPECT_FALSE(bitOf(tdo, bit));
    uint32_t mismatches = 0;
    for (uint32_t bit = 3; bit < bitCount; ++bit) {
        if (bitOf(tdo, bit) != bitOf(tdi, bit - 3)) ++mismatches;
    }
    EXPECT_EQ(mismatches, 0u);
    const auto debug = recorder.messages(kDebug);
    EXPECT_EQ(
        std::count(debug.begin(), debug.end(), "KORAVEN: KRV_TAPAccessShiftRaw options = 0 \n"), 2);
    EXPECT_EQ(
        std::count(debug.begin(), debug.end(), "KORAVEN: KRV_TAPAccessShiftRaw options = 8 \n"), 1);
}

struct PieceCase {
    uint32_t bitCount;
    CseJtagTapState endState;
    std::vector<uint32_t> pieces;
    std::vector<uint16_t> optionWords;
    std::vector<int> endWalk;  // TMS bits after the data, empty for none
};

class DrPieces : public ChainShift, public ::testing::WithParamInterface<PieceCase> {};

TEST_P(DrPieces, SplitOnlyAboveOneRawShift) {
    const PieceCase& c = GetParam();
    startSimulator();
    openAndLock();
    bypassAll();
    const std::vector<uint8_t> tdi = patternBytes((c.bitCount + 7) / 8, 3);
    std::vector<uint8_t> tdo(tdi.size(), 0);
    ASSERT_EQ(plugin->shiftChainDR(tdi.data(), tdo.data(), nullptr, nullptr, c.bitCount, c.endState,
                                   0, 0),
              CSE_SUCCESS);
    const auto shifts = rawShifts();
    ASSERT_EQ(shifts.size(), 1 + c.pieces.size() + (c.endWalk.empty() ? 0 : 1));
    for (size_t i = 0; i < c.pieces.size(); ++i) {
        EXPECT_EQ(shifts[1 + i].bitCount, c.pieces[i]);
        EXPECT_EQ(shifts[1 + i].optionWord, c.optionWords[i]);
    }
    if (!c.endWalk.empty()) {
        EXPECT_EQ(tmsBits(shifts.back()), c.endWalk);
    }
    EXPECT_EQ(simulatorState(), c.endState);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, DrPieces,
    ::testing::Values(
        PieceCase{122817, CSEJTAG_RUN_TEST_IDLE, {122816, 1}, {kTdiTdo, kTdiTdoLeaving}, {1, 0}},
        PieceCase{122816, CSEJTAG_PAUSE_DR, {122816}, {kTdiTdoLeaving}, {0}},
        PieceCase{32, CSEJTAG_SHIFT_DR, {32}, {kTdiTdo}, {}},
        PieceCase{1, CSEJTAG_EXIT1_DR, {1}, {kTdiTdoLeaving}, {}}));

struct DatalessCase {
    bool ir;
    CseJtagTapState endState;
    CseJtagTapState afterShift;  // where the last piece leaves the TAP
};

// Named fields, not raw bytes: the padding after `ir` is never written.
void PrintTo(const DatalessCase& c, std::ostream* out) {
    *out << (c.ir ? "IR" : "DR") << " ending in " << c.endState;
}

class DatalessLongShift : public ChainShift, public ::testing::WithParamInterface<DatalessCase> {};

// Without buffers nothing limits a block, so the length must be split here: exactly bitCount
// clocks reach the TAP, TMS 1 only on the very last one and only when the shift state is left.
TEST_P(DatalessLongShift, ClocksExactlyTheBitCount) {
    const DatalessCase& c = GetParam();
    startSimulator();
    openAndLock();
    simulator->resetInspection();
    const uint32_t bitCount = 200000;
    const auto shift = c.ir ? &QXCsePlugin::shiftChainIR : &QXCsePlugin::shiftChainDR;
    ASSERT_EQ(((*plugin).*shift)(nullptr, nullptr, nullptr, nullptr, bitCount, c.endState, 0, 0),
              CSE_SUCCESS);
    std::vector<quorbit::RawShiftRecord> data;
    for (const auto& record : rawShifts()) {
        if ((record.optionWord & kTmsOnly) == 0) data.push_back(record);
    }
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[0].bitCount + data[1].bitCount, bitCount);
    EXPECT_EQ(data[0].optionWord & 8, 0);
    const bool leaves = c.afterShift == CSEJTAG_EXIT1_IR || c.afterShift == CSEJTAG_EXIT1_DR;
    EXPECT_EQ((data[1].optionWord & 8) != 0, leaves);
    EXPECT_EQ(data[1].endState, static_cast<quorbit::TapState>(c.afterShift));
    EXPECT_EQ(simulatorState(), c.endState);
}

INSTANTIATE_TEST_SUITE_P(
    IrAndDr, DatalessLongShift,
    ::testing::Values(DatalessCase{true, CSEJTAG_RUN_TEST_IDLE, CSEJTAG_EXIT1_IR},
                      DatalessCase{true, CSEJTAG_SHIFT_IR, CSEJTAG_SHIFT_IR},
                      DatalessCase{false, CSEJTAG_SHIFT_DR, CSEJTAG_SHIFT_DR},
                      DatalessCase{false, CSEJTAG_PAUSE_DR, CSEJTAG_EXIT1_DR}));

TEST_F(ChainShift, ZeroBitDrShiftOnlyNavigates) {
    startSimulator();
    openAndLock();
    ASSERT_EQ(plugin->navigateTAP(CSEJTAG_SHIFT_DR, 0), CSE_SUCCESS);
    simulator->resetInspection();
    ASSERT_EQ(
        plugin->shiftChainDR(nullptr, nullptr, nullptr, nullptr, 0, CSEJTAG_RUN_TEST_IDLE, 0, 0),
        CSE_SUCCESS);
    const auto shifts = rawShifts();
    ASSERT_EQ(shifts.size(), 1u);
    EXPECT_EQ(shifts[0].optionWord, kTmsOnly);
    EXPECT_EQ(tmsBits(shifts[0]), (std::vector<int>{1, 1, 0}));
    EXPECT_EQ(simulatorState(), CSEJTAG_RUN_TEST_IDLE);
}

class TdiDump : public ChainShift, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(TdiDump, ShowsAtMost128BytesSixteenALine) {
    const uint32_t bitCount = GetParam();
    startSimulator();
    openAndLock();
    bypassAll();
    const std::vector<uint8_t> tdi = patternBytes((bitCount + 7) / 8, 11);
    ASSERT_EQ(plugin->shiftChainDR(tdi.data(), nullptr, nullptr, nullptr, bitCount,
                                   CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_SUCCESS);
    const auto lines = recorder.targetLines();
    const auto begin =
        std::find(lines.begin(), lines.end(), "TDI Buffer after shift (first 128 bytes):\n");
    const auto end = std::find(lines.begin(), lines.end(), "End buffer \n");
    ASSERT_NE(begin, lines.end());
    ASSERT_NE(end, lines.end());
    std::vector<std::string> dumped(begin + 1, end);
    const size_t bytes = std::min<size_t>(128, tdi.size());
    ASSERT_EQ(dumped.size(), bytes + bytes / 16);
    char first[8] = {};
    std::snprintf(first, sizeof first, " %2.2X", tdi[0]);
    EXPECT_EQ(dumped[0], first);
    EXPECT_EQ(std::count(dumped.begin(), dumped.end(), "\n"), static_cast<long>(bytes / 16));
}

INSTANTIATE_TEST_SUITE_P(Sizes, TdiDump, ::testing::Values(32u, 2048u, 300000u));

TEST_F(ChainShift, OverlongIrShiftFailsAsTheClientRefusesIt) {
    startSimulator();
    openAndLock();
    const uint32_t bitCount = kMaxRawShiftBits + 8;
    std::vector<uint8_t> tdi(bitCount / 8, 0xFF);
    EXPECT_EQ(plugin->shiftChainIR(tdi.data(), nullptr, nullptr, nullptr, bitCount,
                                   CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_FAILURE);
    EXPECT_EQ(KRV_LastResult(), -3);
    EXPECT_TRUE(recorder.hasMessage(
        kError, "KORAVEN: Is KORAVEN connected to the target and the target powered up?\n"));
    EXPECT_EQ(plugin->getTAPState(), CSEJTAG_SHIFT_IR);
    EXPECT_EQ(rawShifts().size(), 1u) << "only the navigation went out";
}

// A reply that never comes reads as what it is, a lost or late datagram, before the shift's own
// line about the target's power.
TEST_F(ChainShift, IrShiftWithoutAReplyNamesTheTimeOutFirst) {
    startSimulator();
    openAndLock();
    ASSERT_EQ(plugin->navigateTAP(CSEJTAG_SHIFT_IR, 0), CSE_SUCCESS);
    simulator->stop();
    LinkSetTimeoutsForTest(20000, 20000);
    recorder.clear();
    std::vector<uint8_t> tdi(3, 0xFF);
    EXPECT_EQ(plugin->shiftChainIR(tdi.data(), nullptr, nullptr, nullptr, 18,
                                   CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_FAILURE);
    EXPECT_EQ(KRV_LastResult(), -1);
    const std::vector<std::string> lines = recorder.messages(kError);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              "KORAVEN: no answer from the KORAVEN debugger within the reply time-out (timeout=): "
              "a datagram was lost or the answer came late\n");
    EXPECT_EQ(lines[1], "KORAVEN: Is KORAVEN connected to the target and the target powered up?\n");
}

TEST_F(ChainShift, IrShiftThatIsNotTransmittedFailsAndStaysInShiftIr) {
    startSimulator();
    openAndLock();
    ASSERT_EQ(plugin->navigateTAP(CSEJTAG_SHIFT_IR, 0), CSE_SUCCESS);
    // A request of several fragments waits for flow tokens that a stopped front end never sends.
    simulator->stop();
    LinkSetTimeoutsForTest(20000, 20000);
    recorder.clear();
    const uint32_t bitCount = 60000;
    std::vector<uint8_t> tdi(bitCount / 8, 0xFF);
    EXPECT_EQ(plugin->shiftChainIR(tdi.data(), nullptr, nullptr, nullptr, bitCount,
                                   CSEJTAG_RUN_TEST_IDLE, 0, 0),
              CSE_FAILURE);
    EXPECT_EQ(KRV_LastResult(), -2);
    EXPECT_TRUE(recorder.hasMessage(
        kError, "KORAVEN: Is KORAVEN connected to the target and the target powered up?\n"));
    EXPECT_EQ(plugin->getTAPState(), CSEJTAG_SHIFT_IR);
}

class RefusedEndState : public ChainShift, public ::testing::WithParamInterface<bool> {};

TEST_P(RefusedEndState, IsRefusedBeforeAnythingIsSent) {
    const bool ir = GetParam();
    startSimulator();
    openAndLock();
    std::vector<uint8_t> tdi(4, 0x5A);
    const auto bad = static_cast<CseJtagTapState>(16);
    const CseResult result =
        ir ? plugin->shiftChainIR(tdi.data(), nullptr, nullptr, nullptr, 32, bad, 0, 0)
           : plugin->shiftChainDR(tdi.data(), nullptr, nullptr, nullptr, 32, bad, 0, 0);
    EXPECT_EQ(result, CSE_FAILURE);
    EXPECT_TRUE(rawShifts().empty());
    EXPECT_EQ(plugin->getTAPState(), CSEJTAG_RUN_TEST_IDLE);
    const std::string name = ir ? "QXCsePlugin::shiftChainIRImpl" : "QXCsePlugin::shiftChainDRImpl";
    const std::vector<std::string> expected = {
        "KORAVEN: " + name + ": end state 16 is not a TAP state \n",
        "KORAVEN: <<Exit<<  " + name + "() : CSE_FAILURE\n"};
    EXPECT_EQ(recorder.messages(kError), expected);
}

INSTANTIATE_TEST_SUITE_P(IrAndDr, RefusedEndState, ::testing::Bool());

// Attached but with the pins never enabled, the emulated debugger answers raw shifts with a
// nonzero status byte.
class PinsDisabled : public ChainShift {
  protected:
    void SetUp() override {
        ChainShift::SetUp();
        startSimulator();
        ASSERT_EQ(KRV_SetConfigItem("NODE=", "127.0.0.1"), 0);
        ASSERT_EQ(KRV_SetConfigItem("PORT=", std::to_string(simulator->udpPort()).c_str()), 0);
        ASSERT_EQ(KRV_Connect(), 0);
        ASSERT_EQ(KRV_Attach(), 0);
        ASSERT_EQ(plugin->lockTarget(0), CSE_SUCCESS);
        recorder.clear();
    }
};

TEST_F(PinsDisabled, StatusByteFailsADrShiftButNotAnIrShift) {
    std::vector<uint8_t> tdi(4, 0x5A);
    EXPECT_EQ(plugin->shiftChainIR(tdi.data(), nullptr, nullptr, nullptr, 32, CSEJTAG_RUN_TEST_IDLE,
                                   0, 0),
              CSE_SUCCESS);
    EXPECT_EQ(plugin->shiftChainDR(tdi.data(), nullptr, nullptr, nullptr, 32, CSEJTAG_RUN_TEST_IDLE,
                                   0, 0),
              CSE_FAILURE);
    EXPECT_EQ(plugin->getTAPState(), CSEJTAG_SHIFT_DR) << "a failed raw shift stays in Shift-DR";
    EXPECT_EQ(recorder.messages(kError),
              std::vector<std::string>{
                  "KORAVEN: <<Exit<<  QXCsePlugin::shiftChainDRImpl() : CSE_FAILURE\n"})
        << "a failing piece says nothing else";
}

TEST_F(PinsDisabled, StatusByteFailsADrShiftEndingInShiftDrWithTheMessage) {
    std::vector<uint8_t> tdi(4, 0x5A);
    EXPECT_EQ(
        plugin->shiftChainDR(tdi.data(), nullptr, nullptr, nullptr, 32, CSEJTAG_SHIFT_DR, 0, 0),
        CSE_FAILURE);
    EXPECT_TRUE(recorder.hasMessage(
        kError, "KORAVEN: Is KORAVEN connected to the target and the target powered up?\n"));
}

}  // namespace
