// SPDX-License-Identifier: Apache-2.0
// Queued playback (SvfOptions::rawShifts) through the real plug-in with shifts=merged against
// quorbit-sim's demo chain: where a queue ends, what a mismatch in the middle of one reports and
// leaves on the board, and a failed call in the middle of one with and without repetitions.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/SimulatedTarget.h"
#include "svf/SvfPlayback.h"

namespace {

using csesvf::SvfResult;
using Outcome = csesvf::SvfResult::Outcome;

// Every device in BYPASS: the DR path delays TDI by 3 bits.
constexpr char kBypass[] = "SIR 18 TDI(3FFFF);\n";
// Device 1's 24-bit user register 0x22 through headers and trailers (lines 1-5).
constexpr char kUserRegister[] =
    "HIR 4 TDI(F);\nTIR 6 TDI(3F);\nHDR 1 TDI(0);\nTDR 1 TDI(0);\nSIR 8 TDI(22);\n";

class SvfQueueTest : public targettest::SimulatedTargetTest {
  protected:
    SvfResult play(const std::string& text, csesvf::SvfOptions options = {},
                   quorbit::SimOptions sim = {}) {
        startSimulator(std::move(sim));
        const std::string port = "port=" + std::to_string(simulator->udpPort());
        const char* const argv[] = {"node=127.0.0.1", port.c_str(), "shifts=merged"};
        EXPECT_EQ(plugin->openTarget(3, argv, 0, 0), CsePluginInterface::CSE_SUCCESS);
        EXPECT_EQ(plugin->lockTarget(0), CsePluginInterface::CSE_SUCCESS);
        requestsBefore = simulator->counters().requests;
        simulator->resetInspection();
        options.rawShifts = true;
        options.fileName = "t.svf";
        std::istringstream stream(text);
        return csesvf::playSvf(*plugin, stream, options);
    }

    uint64_t userRegister() const {
        std::vector<uint8_t> bits;
        EXPECT_TRUE(simulator->userRegister(1, 0x22, bits));
        uint64_t value = 0;
        for (size_t k = bits.size(); k-- > 0;) value = value << 8 | bits[k];
        return value;
    }

    uint64_t requestsBefore = 0;  // open and lock
};

struct BoundaryRow {
    const char* name;
    std::string text;
    bool checkEach;
    uint64_t requests;  // the TAP reset before the file included
};

void PrintTo(const BoundaryRow& row, std::ostream* out) {
    *out << row.name;
}

class SvfQueueBoundaries : public SvfQueueTest, public testing::WithParamInterface<BoundaryRow> {};

TEST_P(SvfQueueBoundaries, EndTheQueueThere) {
    const BoundaryRow& row = GetParam();
    csesvf::SvfOptions options;
    options.checkEach = row.checkEach;
    const SvfResult result = play(row.text, options);
    ASSERT_EQ(result.outcome, Outcome::kPassed) << result.failure;
    EXPECT_EQ(simulator->counters().requests, row.requests);
}

std::string pairs(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += "SDR 8 TDI(FF) TDO(F8);\nRUNTEST 10 TCK;\n";
    return text;
}

constexpr char kPoll[] = "SDR 8 TDI(FF) TDO(F8);\n";

const BoundaryRow kBoundaryRows[] = {
    {"EndOfFile", kBypass + pairs(3), false, 1 + 1},
    {"CheckEachEndsAtEveryCheckedScan", kBypass + pairs(3), true, 1 + 3 + 1},
    // STATE IDLE (1 clock), the SDR from Run-Test/Idle (3 + 61,400 + 2), RUNTEST 2: 61,408.
    {"FillsOneBlockExactly", "STATE IDLE;\nSDR 61400 TDI(0);\nRUNTEST 2 TCK;\n", false, 1 + 1},
    {"OneClockOverTheBlock", "STATE IDLE;\nSDR 61400 TDI(0);\nRUNTEST 3 TCK;\n", false, 1 + 2},
    // 61,409 clocks with its walks: the plug-in's own chain shift (walk, data, walk).
    {"LongerScanGoesAlone", "STATE IDLE;\nSDR 61404 TDI(0);\nRUNTEST 2 TCK;\n", false,
     1 + 1 + 3 + 1},
    {"TimedRunTest", std::string(kBypass) + "SDR 8 TDI(FF);\nRUNTEST 10 TCK 1E-3 SEC;\n" + kPoll,
     false, 1 + 1 + 1 + 1},
    {"CheckAfterTimedWait",
     std::string(kBypass) + "RUNTEST 10 TCK 1E-3 SEC;\nSIR 18 TDI(3FFFF);\n" + kPoll + kPoll +
         kPoll,
     false, 1 + 1 + 1 + 1 + 1},
    {"TapResetGoesAlone", std::string(kBypass) + "SDR 8 TDI(FF);\nTRST ON;\n" + kBypass, false,
     1 + 1 + 1 + 1},
};

INSTANTIATE_TEST_SUITE_P(Rows, SvfQueueBoundaries, testing::ValuesIn(kBoundaryRows),
                         [](const testing::TestParamInfo<BoundaryRow>& info) {
                             return info.param.name;
                         });

// Line 7 reads back what line 6 wrote, wrongly expected; line 8 writes again, line 9 clocks.
const std::string kMismatchInTheMiddle = std::string(kUserRegister) +
                                         "SDR 24 TDI(C0FFEE);\n"
                                         "SDR 24 TDI(000000) TDO(C0FFEF);\n"
                                         "SDR 24 TDI(123456);\n"
                                         "RUNTEST 5 TCK;\n";

TEST_F(SvfQueueTest, MismatchInTheMiddleSaysHowFarTheFileWasPlayed) {
    std::vector<csesvf::Mismatch> reported;
    csesvf::SvfOptions options;
    options.onMismatch = [&reported](const csesvf::Mismatch& m) { reported.push_back(m); };
    const SvfResult queued = play(kMismatchInTheMiddle, options);
    EXPECT_EQ(queued.outcome, Outcome::kMismatch);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0].headline, "t.svf:7: SDR 24: TDO mismatch at bit 0");
    EXPECT_EQ(reported[0].read, "C0FFEE");
    EXPECT_EQ(reported[0].playedAfter, 2u);
    EXPECT_EQ(reported[0].playedUpToLine, 9u);
    EXPECT_EQ(reported[0].playedAfterText, "2 statements after it were played, up to line 9");
    EXPECT_EQ(queued.statements, 5u);
    EXPECT_EQ(userRegister(), 0x123456u) << "line 8 was played";
    EXPECT_EQ(simulator->counters().requests, 1u + 1);

    plugin.reset();
    simulator->stop();
    reported.clear();
    options.checkEach = true;
    const SvfResult each = play(kMismatchInTheMiddle, options);
    EXPECT_EQ(each.outcome, Outcome::kMismatch);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0].line, 7u);
    EXPECT_EQ(reported[0].playedAfter, 0u);
    EXPECT_EQ(reported[0].playedAfterText, "");
    EXPECT_EQ(userRegister(), 0u) << "nothing after line 7 was played";
}

// The emulator forgets the link after a chosen request: the next one fails. The file's queue
// holds lines 5 to 9; the request after the open, the lock and the TAP reset carries it.
TEST_F(SvfQueueTest, FailedQueueIsPlayedAgainFromItsStartWhenAsked) {
    const std::string text = std::string(kUserRegister) +
                             "SDR 24 TDI(C0FFEE);\nSDR 24 TDI(ABCDEF) TDO(C0FFEE);\n"
                             "RUNTEST 5 TCK;\nSDR 24 TDI(0) TDO(ABCDEF);\n";
    (void)play(text);  // fault-free: how many requests the open and lock take
    const uint64_t opening = requestsBefore;
    plugin.reset();
    simulator->stop();

    quorbit::SimOptions sim;
    std::string error;
    ASSERT_TRUE(
        quorbit::parseFaultList("restart-after=" + std::to_string(opening + 1), sim.faults, error))
        << error;
    const SvfResult failed = play(text, {}, sim);
    EXPECT_EQ(failed.outcome, Outcome::kFailed);
    EXPECT_EQ(failed.failure, "t.svf:5: the raw shift of the 5 statements of lines 5 to 9 failed");
    EXPECT_EQ(failed.statements, 0u);
    plugin.reset();
    simulator->stop();

    std::vector<csesvf::Repetition> repeated;
    csesvf::SvfOptions options;
    options.retries = 2;
    options.onRepeat = [&repeated](const csesvf::Repetition& r) { repeated.push_back(r); };
    const SvfResult played = play(text, options, sim);
    EXPECT_EQ(played.outcome, Outcome::kPassed) << played.failure;
    EXPECT_EQ(played.checks, 2u);
    EXPECT_EQ(played.statements, 5u);
    ASSERT_EQ(repeated.size(), 1u);
    EXPECT_EQ(played.repetitions, repeated.size());
    EXPECT_EQ(repeated[0].line, 5u);
    EXPECT_EQ(repeated[0].reloadLine, 0u) << "no SIR before the queue: a TAP reset";
    EXPECT_EQ(repeated[0].headline,
              "t.svf:5: the raw shift of the 5 statements of lines 5 to 9 failed; played again (1 "
              "of 2) after a TAP reset (no SIR since the last reset)");
    EXPECT_EQ(userRegister(), 0u);
}

}  // namespace
