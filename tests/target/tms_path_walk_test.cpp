// SPDX-License-Identifier: Apache-2.0
// The TMS walk: the rule's telling consequences bit for bit, and that every walk arrives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/TapStateTables.h"
#include "target/TmsPathWalk.h"

namespace {

using namespace CsePluginInterface;

std::vector<int> walkBits(CseJtagTapState from, CseJtagTapState goal) {
    uint8_t path[kTmsPathBytes] = {};
    const uint32_t length = walkTmsPath(from, goal, path);
    std::vector<int> bits;
    for (uint32_t n = 0; n < length; ++n) bits.push_back((path[n / 8] >> (n % 8)) & 1);
    return bits;
}

struct WalkCase {
    CseJtagTapState from;
    CseJtagTapState goal;
    std::vector<int> bits;  // clocking order
};

class TelltaleWalk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(TelltaleWalk, GivesTheRulesSequence) {
    const WalkCase& c = GetParam();
    EXPECT_EQ(walkBits(c.from, c.goal), c.bits);
}

INSTANTIATE_TEST_SUITE_P(
    RuleConsequences, TelltaleWalk,
    ::testing::Values(WalkCase{CSEJTAG_RUN_TEST_IDLE, CSEJTAG_SHIFT_DR, {1, 0, 0}},
                      WalkCase{CSEJTAG_RUN_TEST_IDLE, CSEJTAG_SHIFT_IR, {1, 1, 0, 0}},
                      WalkCase{CSEJTAG_SHIFT_DR, CSEJTAG_RUN_TEST_IDLE, {1, 1, 0}},
                      WalkCase{CSEJTAG_PAUSE_DR, CSEJTAG_SHIFT_DR, {1, 0}},
                      WalkCase{CSEJTAG_EXIT1_DR, CSEJTAG_SHIFT_DR, {1, 1, 0, 0}},
                      WalkCase{CSEJTAG_EXIT1_IR, CSEJTAG_SHIFT_IR, {1, 1, 1, 0, 0}},
                      WalkCase{CSEJTAG_EXIT2_IR, CSEJTAG_SHIFT_IR, {0}},
                      WalkCase{CSEJTAG_PAUSE_IR, CSEJTAG_SHIFT_IR, {1, 0}},
                      WalkCase{CSEJTAG_SELECT_DR_SCAN, CSEJTAG_RUN_TEST_IDLE, {0, 1, 1, 0}},
                      WalkCase{CSEJTAG_SHIFT_DR, CSEJTAG_TEST_LOGIC_RESET, {1, 1, 1, 1, 1}},
                      WalkCase{CSEJTAG_RUN_TEST_IDLE, CSEJTAG_TEST_LOGIC_RESET, {1, 1, 1}},
                      WalkCase{CSEJTAG_SELECT_IR_SCAN, CSEJTAG_TEST_LOGIC_RESET, {1}},
                      WalkCase{CSEJTAG_TEST_LOGIC_RESET, CSEJTAG_TEST_LOGIC_RESET, {1}},
                      WalkCase{CSEJTAG_RUN_TEST_IDLE, CSEJTAG_RUN_TEST_IDLE, {0}},
                      WalkCase{CSEJTAG_SHIFT_DR, CSEJTAG_SHIFT_DR, {0}},
                      WalkCase{CSEJTAG_PAUSE_DR, CSEJTAG_PAUSE_DR, {0}},
                      WalkCase{CSEJTAG_SHIFT_IR, CSEJTAG_SHIFT_IR, {0}},
                      WalkCase{CSEJTAG_PAUSE_IR, CSEJTAG_PAUSE_IR, {0}},
                      WalkCase{CSEJTAG_UPDATE_DR, CSEJTAG_UPDATE_DR, {1, 0, 1, 1}},
                      WalkCase{CSEJTAG_EXIT2_IR, CSEJTAG_EXIT2_IR, {1, 1, 1, 0, 1, 0, 1}},
                      WalkCase{CSEJTAG_SHIFT_DR, CSEJTAG_EXIT2_IR, {1, 1, 1, 1, 0, 1, 0, 1}},
                      WalkCase{CSEJTAG_CAPTURE_DR, CSEJTAG_EXIT2_IR, {1, 1, 1, 1, 0, 1, 0, 1}},
                      WalkCase{CSEJTAG_SELECT_IR_SCAN, CSEJTAG_EXIT2_DR, {0, 1, 1, 1, 0, 1, 0, 1}},
                      WalkCase{CSEJTAG_TEST_LOGIC_RESET, CSEJTAG_RUN_TEST_IDLE, {0}},
                      WalkCase{CSEJTAG_EXIT1_DR, CSEJTAG_PAUSE_DR, {0}},
                      WalkCase{CSEJTAG_EXIT2_DR, CSEJTAG_PAUSE_DR, {1, 1, 0, 1, 0}}));

// Every pair: the walk arrives at its goal, only at its last clock, within 8 clocks, and passes
// Test-Logic-Reset only when that is the goal.
class EveryWalk : public ::testing::TestWithParam<int> {};

TEST_P(EveryWalk, ArrivesAtItsGoalOnlyAtTheLastClock) {
    const auto from = static_cast<CseJtagTapState>(GetParam());
    for (uint32_t g = 0; g < kTapStateCount; ++g) {
        const auto goal = static_cast<CseJtagTapState>(g);
        SCOPED_TRACE(std::string(stateName(from)) + " -> " + stateName(goal));
        const std::vector<int> bits = walkBits(from, goal);
        ASSERT_GE(bits.size(), 1u);
        ASSERT_LE(bits.size(), kMaxTmsPathBits);
        CseJtagTapState state = from;
        for (size_t n = 0; n < bits.size(); ++n) {
            state = nextTapState(state, bits[n] != 0);
            if (n + 1 < bits.size()) {
                EXPECT_NE(state, goal) << "arrived early at clock " << n;
            }
            if (goal != CSEJTAG_TEST_LOGIC_RESET) {
                EXPECT_NE(state, CSEJTAG_TEST_LOGIC_RESET);
            }
        }
        EXPECT_EQ(state, goal);
    }
}

INSTANTIATE_TEST_SUITE_P(AllStates, EveryWalk, ::testing::Range(0, 16));

TEST(WalkTmsPath, WritesZerosOverWhateverThePathBufferHeld) {
    uint8_t path[kTmsPathBytes] = {0xFF, 0xFF, 0xFF, 0xFF};
    ASSERT_EQ(walkTmsPath(CSEJTAG_RUN_TEST_IDLE, CSEJTAG_SHIFT_DR, path), 3u);
    EXPECT_EQ(path[0] & 0x07, 0x01);
}

TEST(WalkTmsPath, RefusesStatesOutsideTheSixteen) {
    uint8_t path[kTmsPathBytes] = {0xA5, 0, 0, 0};
    EXPECT_EQ(walkTmsPath(static_cast<CseJtagTapState>(16), CSEJTAG_SHIFT_DR, path), 0u);
    EXPECT_EQ(walkTmsPath(CSEJTAG_SHIFT_DR, static_cast<CseJtagTapState>(0xFFFFFFFFu), path), 0u);
    EXPECT_EQ(path[0], 0xA5) << "a refused walk writes nothing";
}

}  // namespace
