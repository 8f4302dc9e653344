// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>

#include "framework/CseJtagTapTracker.h"
#include "framework/CsePlugin.h"
#include "framework/TapStateTables.h"

namespace {

using namespace CsePluginInterface;

CseJtagTapState state(uint32_t value) {
    return static_cast<CseJtagTapState>(value);
}

// Clocks a TMS pattern through the next-state table, first clock in bit 0.
CseJtagTapState walk(CseJtagTapState from, uint8_t bits, uint32_t length) {
    CseJtagTapState current = from;
    for (uint32_t clock = 0; clock < length; ++clock) {
        current = nextTapState(current, ((bits >> clock) & 1u) != 0);
    }
    return current;
}

// The restrictions a TMS path obeys: never through Test-Logic-Reset, never TMS 0 in a Shift or
// Pause state, never from Exit2 back into Shift.
bool stepAllowed(CseJtagTapState from, bool tms) {
    if (!tms) {
        if (from == CSEJTAG_SHIFT_DR || from == CSEJTAG_SHIFT_IR || from == CSEJTAG_PAUSE_DR ||
            from == CSEJTAG_PAUSE_IR || from == CSEJTAG_EXIT2_DR || from == CSEJTAG_EXIT2_IR) {
            // Exit2 with TMS 0 goes back into Shift; the others linger.
            return false;
        }
    }
    return nextTapState(from, tms) != CSEJTAG_TEST_LOGIC_RESET;
}

struct ShortestPaths {
    uint32_t length = 0;  // 0 when none up to 8 clocks
    uint32_t count = 0;   // how many different patterns of that length reach the goal
    uint8_t bits = 0;     // the last one found
};

// Breadth-first over TMS sequences: all patterns of one length before any longer one.
ShortestPaths shortestAllowedPaths(CseJtagTapState from, CseJtagTapState to) {
    ShortestPaths found;
    for (uint32_t length = 1; length <= 8 && found.count == 0; ++length) {
        for (uint32_t bits = 0; bits < (1u << length); ++bits) {
            CseJtagTapState current = from;
            bool allowed = true;
            for (uint32_t clock = 0; clock < length && allowed; ++clock) {
                const bool tms = ((bits >> clock) & 1u) != 0;
                allowed = stepAllowed(current, tms);
                current = nextTapState(current, tms);
            }
            if (allowed && current == to) {
                found.length = length;
                ++found.count;
                found.bits = static_cast<uint8_t>(bits);
            }
        }
    }
    return found;
}

class TmsPathTable : public ::testing::TestWithParam<uint32_t> {
  protected:
    CseJtagTapState from() const { return state(GetParam() / kTapStateCount); }
    CseJtagTapState to() const { return state(GetParam() % kTapStateCount); }
};

TEST_P(TmsPathTable, PatternEndsInItsTargetState) {
    EXPECT_EQ(walk(from(), tmsPathBits(from(), to()), tmsPathLength(from(), to())), to());
}

TEST_P(TmsPathTable, PatternHasNoBitsBeyondItsLength) {
    const uint32_t length = tmsPathLength(from(), to());
    ASSERT_GE(length, 1u);
    ASSERT_LE(length, 8u);
    EXPECT_EQ(tmsPathBits(from(), to()) >> length, 0u);
}

TEST_P(TmsPathTable, IsTheUniqueShortestAllowedPath) {
    if (to() == CSEJTAG_TEST_LOGIC_RESET) {
        EXPECT_EQ(tmsPathBits(from(), to()), 0x1F);
        EXPECT_EQ(tmsPathLength(from(), to()), 5u);
        return;
    }
    const ShortestPaths expected = shortestAllowedPaths(from(), to());
    ASSERT_EQ(expected.count, 1u) << "the shortest allowed path must be unique";
    EXPECT_EQ(tmsPathLength(from(), to()), expected.length);
    EXPECT_EQ(tmsPathBits(from(), to()), expected.bits);
}

INSTANTIATE_TEST_SUITE_P(AllStatePairs, TmsPathTable, ::testing::Range(0u, 256u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                             return "from" + std::to_string(info.param / 16) + "to" +
                                    std::to_string(info.param % 16);
                         });

TEST(TapStateTables, NamesTheSixteenStates) {
    EXPECT_STREQ(stateName(CSEJTAG_TEST_LOGIC_RESET), "CSEJTAG_TEST_LOGIC_RESET");
    EXPECT_STREQ(stateName(CSEJTAG_SHIFT_DR), "CSEJTAG_SHIFT_DR");
    EXPECT_STREQ(stateName(CSEJTAG_EXIT2_IR), "CSEJTAG_EXIT2_IR");
    EXPECT_STREQ(stateName(CSEJTAG_UPDATE_IR), "CSEJTAG_UPDATE_IR");
    EXPECT_EQ(stateName(state(16)), nullptr);
    EXPECT_EQ(stateName(state(0xFFFFFFFFu)), nullptr);
}

TEST(TapStateTables, LabelRendersUnnamedStatesForLogs) {
    EXPECT_STREQ(TapStateLabel(CSEJTAG_PAUSE_IR).text(), "CSEJTAG_PAUSE_IR");
    EXPECT_STREQ(TapStateLabel(state(16)).text(), "CSEJTAG_INVALID_STATE(16)");
    EXPECT_STREQ(TapStateLabel(state(0xFFFFFFFFu)).text(), "CSEJTAG_INVALID_STATE(4294967295)");
}

TEST(TapStateTables, TellingEntries) {
    EXPECT_EQ(tmsPathBits(CSEJTAG_CAPTURE_DR, CSEJTAG_EXIT2_IR), 0xAF);
    EXPECT_EQ(tmsPathLength(CSEJTAG_CAPTURE_DR, CSEJTAG_EXIT2_IR), 8u);
    EXPECT_EQ(tmsPathBits(CSEJTAG_SHIFT_DR, CSEJTAG_EXIT2_IR), 0xAF);
    EXPECT_EQ(tmsPathBits(CSEJTAG_RUN_TEST_IDLE, CSEJTAG_RUN_TEST_IDLE), 0x00);
    EXPECT_EQ(tmsPathLength(CSEJTAG_RUN_TEST_IDLE, CSEJTAG_RUN_TEST_IDLE), 1u);
    // Shift-DR to itself leaves through Update-DR and re-enters from Capture-DR: 1 1 1 0 0.
    EXPECT_EQ(tmsPathBits(CSEJTAG_SHIFT_DR, CSEJTAG_SHIFT_DR), 0x07);
    EXPECT_EQ(tmsPathLength(CSEJTAG_SHIFT_DR, CSEJTAG_SHIFT_DR), 5u);
}

TEST(TapStateTables, OutOfRangeLookupsAreEmptyAndStatesStay) {
    EXPECT_EQ(tmsPathLength(state(16), CSEJTAG_SHIFT_DR), 0u);
    EXPECT_EQ(tmsPathBits(CSEJTAG_SHIFT_DR, state(99)), 0u);
    EXPECT_EQ(nextTapState(state(42), true), state(42));
}

TEST(TapStateTables, StaticMembersOfThePluginGiveTheSameTables) {
    EXPECT_STREQ(CsePlugin::stateName(CSEJTAG_SELECT_IR_SCAN), "CSEJTAG_SELECT_IR_SCAN");
    EXPECT_EQ(CsePlugin::tmsPathBits(CSEJTAG_SELECT_IR_SCAN, CSEJTAG_EXIT2_DR), 0xAE);
    EXPECT_EQ(CsePlugin::tmsPathLength(CSEJTAG_SELECT_IR_SCAN, CSEJTAG_EXIT2_DR), 8u);
}

TEST(CseJtagTapTracker, StartsInTestLogicReset) {
    const CseJtagTapTracker tracker;
    EXPECT_EQ(tracker.get(), CSEJTAG_TEST_LOGIC_RESET);
    EXPECT_STREQ(tracker.currentName(), "CSEJTAG_TEST_LOGIC_RESET");
}

TEST(CseJtagTapTracker, FiveClocksWithTmsOneResetFromEveryState) {
    for (uint32_t value = 0; value < kTapStateCount; ++value) {
        CseJtagTapTracker tracker;
        tracker.set(state(value));
        for (int clock = 0; clock < 5; ++clock) tracker.clock(true);
        EXPECT_EQ(tracker.get(), CSEJTAG_TEST_LOGIC_RESET) << "from state " << value;
    }
}

TEST(CseJtagTapTracker, ClockFollowsTheDiagram) {
    CseJtagTapTracker tracker;
    EXPECT_EQ(tracker.clock(false), CSEJTAG_RUN_TEST_IDLE);
    EXPECT_EQ(tracker.clock(true), CSEJTAG_SELECT_DR_SCAN);
    EXPECT_EQ(tracker.clock(true), CSEJTAG_SELECT_IR_SCAN);
    EXPECT_EQ(tracker.clock(false), CSEJTAG_CAPTURE_IR);
    EXPECT_EQ(tracker.clock(false), CSEJTAG_SHIFT_IR);
    EXPECT_EQ(tracker.clock(false), CSEJTAG_SHIFT_IR);
    EXPECT_EQ(tracker.clock(true), CSEJTAG_EXIT1_IR);
    EXPECT_EQ(tracker.clock(false), CSEJTAG_PAUSE_IR);
    EXPECT_EQ(tracker.clock(true), CSEJTAG_EXIT2_IR);
    EXPECT_EQ(tracker.clock(false), CSEJTAG_SHIFT_IR);
    EXPECT_EQ(tracker.clock(true), CSEJTAG_EXIT1_IR);
    EXPECT_EQ(tracker.clock(true), CSEJTAG_UPDATE_IR);
    EXPECT_STREQ(tracker.currentName(), "CSEJTAG_UPDATE_IR");
}

}  // namespace
