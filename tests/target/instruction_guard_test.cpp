// SPDX-License-Identifier: Apache-2.0
// The rule every shift obeys after a recovery, as a table: each way into the DR column, each
// partial or continued IR shift, and each way the instructions become known again.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "koraven-cse-plugin/CseTapWalk.h"
#include "target/InstructionGuard.h"

namespace CsePluginInterface {
namespace {

constexpr uint32_t kIrPath = 18;  // the demo chain: 6 + 8 + 4

// One host operation: a chain shift, a raw TMS stream or a navigation, the last two written as
// '0'/'1' characters.
struct Operation {
    enum class Kind { ChainShift, Stream, Navigation } kind;
    CseJtagTapState shift = CSEJTAG_SHIFT_DR;
    uint32_t bits = 0;
    CseJtagTapState end = CSEJTAG_RUN_TEST_IDLE;
    std::string tms;
};

Operation shiftOp(CseJtagTapState shift, uint32_t bits, CseJtagTapState end) {
    return {Operation::Kind::ChainShift, shift, bits, end, {}};
}
Operation streamOp(const std::string& tms) {
    return {Operation::Kind::Stream, CSEJTAG_SHIFT_DR, 0, CSEJTAG_RUN_TEST_IDLE, tms};
}
Operation navOp(const std::string& tms) {
    return {Operation::Kind::Navigation, CSEJTAG_SHIFT_DR, 0, CSEJTAG_RUN_TEST_IDLE, tms};
}

std::vector<uint8_t> packed(const std::string& tms) {
    std::vector<uint8_t> bytes((tms.size() + 7) / 8 + 1, 0);
    for (size_t i = 0; i < tms.size(); ++i) {
        if (tms[i] == '1') bytes[i / 8] = static_cast<uint8_t>(bytes[i / 8] | (1u << (i % 8)));
    }
    return bytes;
}

void followWalk(InstructionGuard& guard, CseJtagTapState& at, CseJtagTapState goal, uint32_t path) {
    if (at == goal) return;
    const CseTmsWalk walk = cseWalkTms(at, goal);
    guard.followStream(&walk.bits, walk.length, path);
    at = goal;
}

// Checks the operation, and when admitted follows its clocks as the target sends them.
bool run(InstructionGuard& guard, CseJtagTapState& at, const Operation& op, uint32_t path) {
    guard.moveTo(at);
    if (op.kind != Operation::Kind::ChainShift) {
        const std::vector<uint8_t> tms = packed(op.tms);
        const auto bits = static_cast<uint32_t>(op.tms.size());
        // Navigations are never refused.
        if (op.kind == Operation::Kind::Stream && !guard.admitsStream(tms.data(), bits, path))
            return false;
        guard.followStream(tms.data(), bits, path);
        for (char c : op.tms) at = cseNextTapState(at, c == '1');
        return true;
    }
    if (!guard.admitsChainShift(op.shift, op.bits, op.end, path)) return false;
    followWalk(guard, at, op.shift, path);
    const bool leaves = op.end != op.shift;
    guard.followShift(op.bits, leaves, path);
    if (op.bits != 0 && leaves)
        at = op.shift == CSEJTAG_SHIFT_IR ? CSEJTAG_EXIT1_IR : CSEJTAG_EXIT1_DR;
    followWalk(guard, at, op.end, path);
    return true;
}

struct Row {
    const char* name;
    CseJtagTapState recoveredAt;
    uint32_t irPath;
    std::vector<Operation> before;  // the host's operations after the recovery, all admitted
    Operation probe;                // then this one
    bool admitted;
    bool knownAfter;  // whether the instructions are known after the probe (when admitted)
};

void PrintTo(const Row& row, std::ostream* out) {
    *out << row.name;
}

class GuardTable : public ::testing::TestWithParam<Row> {};

TEST_P(GuardTable, FollowsTheRule) {
    const Row& row = GetParam();
    InstructionGuard guard;
    guard.recovered(row.recoveredAt);
    CseJtagTapState at = row.recoveredAt;
    for (const Operation& op : row.before) ASSERT_TRUE(run(guard, at, op, row.irPath));
    EXPECT_EQ(run(guard, at, row.probe, row.irPath), row.admitted);
    if (row.admitted) {
        EXPECT_EQ(guard.known(), row.knownAfter);
    }
}

const auto kIdle = CSEJTAG_RUN_TEST_IDLE;
const auto kShiftDr = CSEJTAG_SHIFT_DR;
const auto kShiftIr = CSEJTAG_SHIFT_IR;
const auto kPauseIr = CSEJTAG_PAUSE_IR;
const auto kPauseDr = CSEJTAG_PAUSE_DR;

const Row kRows[] = {
    // Ways into the DR column while the instructions are unknown.
    {"DrShiftFromIdle", kIdle, kIrPath, {}, shiftOp(kShiftDr, 32, kIdle), false, false},
    {"DrShiftWithNoBits", kIdle, kIrPath, {}, shiftOp(kShiftDr, 0, kShiftDr), false, false},
    {"NavigatedIntoShiftDrThenRawShift",
     kIdle,
     kIrPath,
     {navOp("100")},
     streamOp("0000"),
     false,
     false},
    {"RawShiftStartingInPauseDr", kPauseDr, kIrPath, {}, streamOp("11100"), false, false},
    {"RawStreamToCaptureDr", kIdle, kIrPath, {}, streamOp("10"), false, false},
    {"IrShiftEndingInShiftDrWithoutWholePath",
     kIdle,
     kIrPath,
     {},
     shiftOp(kShiftIr, kIrPath - 1, kShiftDr),
     false,
     false},
    {"NavigationToIdleEndsNothing",
     kPauseDr,
     kIrPath,
     {navOp("110")},
     shiftOp(kShiftDr, 32, kIdle),
     false,
     false},
    {"RawShiftStayingInPauseDr", kPauseDr, kIrPath, {}, streamOp("000"), false, false},
    {"DrShiftFromPauseDr", kPauseDr, kIrPath, {}, shiftOp(kShiftDr, 8, kIdle), false, false},
    // An IR shift from the DR column clocks no DR bit on its way out.
    {"IrShiftFromPauseDr", kPauseDr, kIrPath, {}, shiftOp(kShiftIr, kIrPath, kIdle), true, true},
    // Partial and continued IR shifts leave it unknown; so does an IR path of unknown length.
    {"PartialIrShift", kIdle, kIrPath, {}, shiftOp(kShiftIr, kIrPath - 1, kIdle), true, false},
    {"IrShiftContinuedFromPauseIr",
     kPauseIr,
     kIrPath,
     {},
     shiftOp(kShiftIr, kIrPath, kIdle),
     true,
     false},
    {"IrShiftContinuedFromShiftIr",
     kShiftIr,
     kIrPath,
     {},
     shiftOp(kShiftIr, kIrPath, kIdle),
     true,
     false},
    {"IrPathUnknown", kIdle, 0, {}, shiftOp(kShiftIr, 64, kIdle), true, false},
    {"PartialThenContinuedIr",
     kIdle,
     kIrPath,
     {shiftOp(kShiftIr, 10, kPauseIr)},
     shiftOp(kShiftIr, kIrPath - 10, kIdle),
     true,
     true},
    // Ways the instructions become known again.
    {"WholeIrShift", kIdle, kIrPath, {}, shiftOp(kShiftIr, kIrPath, kIdle), true, true},
    {"WholeIrShiftThenDrInOneShift",
     kIdle,
     kIrPath,
     {},
     shiftOp(kShiftIr, kIrPath, kShiftDr),
     true,
     true},
    {"WholeIrPausedThenUpdatedByNavigation",
     kIdle,
     kIrPath,
     {shiftOp(kShiftIr, kIrPath, kPauseIr)},
     navOp("110"),
     true,
     true},
    {"HostResetInRawStreamThenDr",
     kShiftDr,
     kIrPath,
     {navOp("110")},
     streamOp("111110100"),
     true,
     true},
    {"RawStreamLoadingWholePath",
     kIdle,
     kIrPath,
     {},
     streamOp("1100" + std::string(kIrPath - 1, '0') + "1" + "1" + "100"),
     true,
     true},
};

INSTANTIATE_TEST_SUITE_P(AfterRecovery, GuardTable, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& info) { return info.param.name; });

// Before any recovery nothing is refused, wherever a shift starts.
TEST(InstructionGuard, NothingIsRefusedWhileKnown) {
    InstructionGuard guard;
    guard.reset(CSEJTAG_PAUSE_DR);
    EXPECT_TRUE(guard.admitsChainShift(kShiftDr, 8, kIdle, kIrPath));
    const std::vector<uint8_t> tms = packed("000");
    EXPECT_TRUE(guard.admitsStream(tms.data(), 3, kIrPath));
}

}  // namespace
}  // namespace CsePluginInterface
