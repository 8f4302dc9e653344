// SPDX-License-Identifier: Apache-2.0
// The chain's table walk through non-shifting states against clocking bit by bit: from each of
// the sixteen states, every 10-clock TMS pattern gives the same TDO, end state, instructions and
// state changes, with and without a TDO fault and a forced last TMS 1.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/VirtualChain.h"

namespace {

using quorbit::BoardFaults;
using quorbit::TapState;

// TMS from Test-Logic-Reset to each state, in the states' order.
const char* const kPaths[quorbit::kTapStateCount] = {
    "",      "0",   "01",   "010",   "0100",  "0101",   "01010",   "010101",
    "01011", "011", "0110", "01100", "01101", "011010", "0110101", "011011"};

class TapWalkTest : public ::testing::TestWithParam<std::pair<BoardFaults::Tdo, bool>> {};

TEST_P(TapWalkTest, ShiftEqualsClockingBitByBit) {
    const auto [tdoFault, lastTmsHigh] = GetParam();
    const std::uint8_t tdi[2] = {0xA5, 0x02};
    for (int start = 0; start < quorbit::kTapStateCount; ++start) {
        for (unsigned pattern = 0; pattern < 1024; ++pattern) {
            quorbit::VirtualChain chains[2] = {quorbit::VirtualChain{quorbit::defaultDemoChain()},
                                               quorbit::VirtualChain{quorbit::defaultDemoChain()}};
            std::vector<TapState> paths[2];
            std::uint8_t tdo[2][2] = {};
            for (int c = 0; c < 2; ++c) {
                chains[c].setBoardFaults(BoardFaults{tdoFault, {}, {}});
                for (int i = 0; i < 5; ++i) chains[c].clock(true, false);
                for (const char* p = kPaths[start]; *p != '\0'; ++p)
                    chains[c].clock(*p == '1', false);
                ASSERT_EQ(static_cast<int>(chains[c].state()), start);
                chains[c].setTransitionListener(
                    [&, c](TapState, TapState to) { paths[c].push_back(to); });
            }
            const std::uint8_t tms[2] = {static_cast<std::uint8_t>(pattern),
                                         static_cast<std::uint8_t>(pattern >> 8)};
            chains[0].shift(10, tms, tdi, tdo[0], lastTmsHigh);
            for (unsigned k = 0; k < 10; ++k) {
                const bool tmsBit = ((pattern >> k) & 1u) != 0 || (lastTmsHigh && k == 9);
                const bool out = chains[1].clock(tmsBit, ((tdi[k / 8] >> (k % 8)) & 1u) != 0);
                tdo[1][k / 8] |= static_cast<std::uint8_t>((out ? 1u : 0u) << (k % 8));
            }
            SCOPED_TRACE("from state " + std::to_string(start) + ", TMS " +
                         std::to_string(pattern));
            ASSERT_EQ(chains[0].state(), chains[1].state());
            ASSERT_EQ(tdo[0][0], tdo[1][0]);
            ASSERT_EQ(tdo[0][1], tdo[1][1]);
            ASSERT_EQ(paths[0], paths[1]);
            for (std::size_t d = 0; d < chains[0].deviceCount(); ++d) {
                ASSERT_EQ(chains[0].instruction(d), chains[1].instruction(d));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Walks, TapWalkTest,
                         ::testing::Values(std::make_pair(BoardFaults::Tdo::Driven, false),
                                           std::make_pair(BoardFaults::Tdo::Driven, true),
                                           std::make_pair(BoardFaults::Tdo::EchoesTdi, false),
                                           std::make_pair(BoardFaults::Tdo::StuckLow, true)));

}  // namespace
