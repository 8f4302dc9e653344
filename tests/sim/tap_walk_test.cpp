// The chain's table walk through non-shifting states against clocking bit by bit: from each of
// the sixteen states, every 10-clock TMS pattern gives the same TDO, end state, instructions and
// state changes, with and without a TDO fault and a forced last TMS 1.
#include <gtest/gtest.h>

#include <deque>
#include <vector>

#include "sim/TapState.h"
#include "sim/VirtualChain.h"

namespace {

using quorbit::BoardFaults;
using quorbit::TapState;
using quorbit::VirtualChain;

constexpr unsigned kClocks = 10;

struct WalkCase {
    BoardFaults::Tdo tdoFault;
    bool lastTmsHigh;
};

class TapWalkTest : public ::testing::TestWithParam<WalkCase> {};

// Clocks TMS 1 five times, then the shortest TMS path to `target` (found breadth first).
void enter(VirtualChain& chain, TapState target) {
    for (int i = 0; i < 5; ++i) chain.clock(true, false);
    std::vector<std::vector<bool>> paths(quorbit::kTapStateCount);
    std::vector<bool> seen(quorbit::kTapStateCount, false);
    std::deque<TapState> queue{TapState::TestLogicReset};
    seen[0] = true;
    while (!queue.empty()) {
        const TapState from = queue.front();
        queue.pop_front();
        for (const bool tms : {false, true}) {
            const auto to = static_cast<std::size_t>(quorbit::nextTapState(from, tms));
            if (seen[to]) continue;
            seen[to] = true;
            paths[to] = paths[static_cast<std::size_t>(from)];
            paths[to].push_back(tms);
            queue.push_back(static_cast<TapState>(to));
        }
    }
    for (const bool tms : paths[static_cast<std::size_t>(target)]) chain.clock(tms, false);
}

TEST_P(TapWalkTest, ShiftEqualsClockingBitByBit) {
    BoardFaults faults;
    faults.tdo = GetParam().tdoFault;
    const std::uint8_t tdi[2] = {0xA5, 0x02};
    for (int start = 0; start < quorbit::kTapStateCount; ++start) {
        for (unsigned pattern = 0; pattern < (1u << kClocks); ++pattern) {
            VirtualChain walked{quorbit::defaultDemoChain()};
            VirtualChain clocked{quorbit::defaultDemoChain()};
            std::vector<TapState> walkedPath;
            std::vector<TapState> clockedPath;
            walked.setTransitionListener([&](TapState, TapState to) { walkedPath.push_back(to); });
            clocked.setTransitionListener(
                [&](TapState, TapState to) { clockedPath.push_back(to); });
            for (VirtualChain* chain : {&walked, &clocked}) {
                chain->setBoardFaults(faults);
                enter(*chain, static_cast<TapState>(start));
            }
            walkedPath.clear();
            clockedPath.clear();
            const std::uint8_t tms[2] = {static_cast<std::uint8_t>(pattern),
                                         static_cast<std::uint8_t>(pattern >> 8)};
            std::uint8_t walkedTdo[2] = {};
            std::uint8_t clockedTdo[2] = {};
            walked.shift(kClocks, tms, tdi, walkedTdo, GetParam().lastTmsHigh);
            for (unsigned k = 0; k < kClocks; ++k) {
                const bool tmsBit =
                    ((pattern >> k) & 1u) != 0 || (GetParam().lastTmsHigh && k + 1 == kClocks);
                const bool out = clocked.clock(tmsBit, ((tdi[k / 8] >> (k % 8)) & 1u) != 0);
                clockedTdo[k / 8] |= static_cast<std::uint8_t>((out ? 1u : 0u) << (k % 8));
            }
            SCOPED_TRACE(quorbit::tapStateName(static_cast<TapState>(start)));
            SCOPED_TRACE(pattern);
            ASSERT_EQ(walked.state(), clocked.state());
            ASSERT_EQ(walkedTdo[0], clockedTdo[0]);
            ASSERT_EQ(walkedTdo[1], clockedTdo[1]);
            ASSERT_EQ(walkedPath, clockedPath);
            for (std::size_t d = 0; d < walked.deviceCount(); ++d) {
                ASSERT_EQ(walked.instruction(d), clocked.instruction(d));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Walks, TapWalkTest,
                         ::testing::Values(WalkCase{BoardFaults::Tdo::Driven, false},
                                           WalkCase{BoardFaults::Tdo::Driven, true},
                                           WalkCase{BoardFaults::Tdo::EchoesTdi, false},
                                           WalkCase{BoardFaults::Tdo::StuckLow, true}));

}  // namespace
