// SPDX-License-Identifier: Apache-2.0
// The TAP controller's successor function against the IEEE 1149.1 state diagram, written here by
// state name so that a wrong number and a wrong name both show up.
#include <gtest/gtest.h>

#include <string>

#include "sim/TapState.h"

namespace {

using quorbit::TapState;

struct Transition {
    const char* from;
    const char* onZero;
    const char* onOne;
};

// The diagram as printed in the standard.
constexpr Transition kDiagram[] = {
    {"Test-Logic-Reset", "Run-Test/Idle", "Test-Logic-Reset"},
    {"Run-Test/Idle", "Run-Test/Idle", "Select-DR-Scan"},
    {"Select-DR-Scan", "Capture-DR", "Select-IR-Scan"},
    {"Capture-DR", "Shift-DR", "Exit1-DR"},
    {"Shift-DR", "Shift-DR", "Exit1-DR"},
    {"Exit1-DR", "Pause-DR", "Update-DR"},
    {"Pause-DR", "Pause-DR", "Exit2-DR"},
    {"Exit2-DR", "Shift-DR", "Update-DR"},
    {"Update-DR", "Run-Test/Idle", "Select-DR-Scan"},
    {"Select-IR-Scan", "Capture-IR", "Test-Logic-Reset"},
    {"Capture-IR", "Shift-IR", "Exit1-IR"},
    {"Shift-IR", "Shift-IR", "Exit1-IR"},
    {"Exit1-IR", "Pause-IR", "Update-IR"},
    {"Pause-IR", "Pause-IR", "Exit2-IR"},
    {"Exit2-IR", "Shift-IR", "Update-IR"},
    {"Update-IR", "Run-Test/Idle", "Select-DR-Scan"},
};

struct Case {
    int state;
    bool tms;
};

class TapDiagramTest : public ::testing::TestWithParam<Case> {};

TEST_P(TapDiagramTest, SuccessorMatchesTheStandardsDiagram) {
    const Case c = GetParam();
    const auto from = static_cast<TapState>(c.state);
    EXPECT_STREQ(quorbit::tapStateName(from), kDiagram[c.state].from);
    const TapState next = quorbit::nextTapState(from, c.tms);
    EXPECT_STREQ(quorbit::tapStateName(next),
                 c.tms ? kDiagram[c.state].onOne : kDiagram[c.state].onZero);
}

std::vector<Case> allCases() {
    std::vector<Case> cases;
    for (int state = 0; state < quorbit::kTapStateCount; ++state) {
        cases.push_back({state, false});
        cases.push_back({state, true});
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(AllStatesBothTms, TapDiagramTest, ::testing::ValuesIn(allCases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return "State" + std::to_string(info.param.state) + "Tms" +
                                    std::to_string(info.param.tms ? 1 : 0);
                         });

TEST(TapState, FiveOnesReachTestLogicResetFromEveryState) {
    for (int state = 0; state < quorbit::kTapStateCount; ++state) {
        TapState s = static_cast<TapState>(state);
        for (int i = 0; i < 5; ++i) s = quorbit::nextTapState(s, true);
        EXPECT_EQ(s, TapState::TestLogicReset) << "from " << state;
    }
}

TEST(TapState, ValueOutsideTheSixteenHasNoNameAndFallsBackToReset) {
    const auto bogus = static_cast<TapState>(16);
    EXPECT_STREQ(quorbit::tapStateName(bogus), "?");
    EXPECT_EQ(quorbit::nextTapState(bogus, false), TapState::TestLogicReset);
}

}  // namespace
