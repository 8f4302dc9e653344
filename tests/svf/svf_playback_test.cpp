// SPDX-License-Identifier: Apache-2.0
// playSvf through the real plug-in against quorbit-sim's demo chain (devices of 6, 8 and 4 IR bits;
// after "SIR 18 TDI(3FFFF)" every device is in BYPASS and the DR path delays TDI by 3 bits).
#include <gtest/gtest.h>

#include <cerrno>
#include <random>
#include <sstream>
#include <string>
#include <tuple>

#include "koraven-cse-plugin/CseTapWalk.h"
#include "support/SimulatedTarget.h"
#include "svf/SvfPlayback.h"

namespace {

using csesvf::SvfResult;
using Outcome = csesvf::SvfResult::Outcome;
using namespace std::literals;

class SvfPlaybackTest : public targettest::SimulatedTargetTest {
  protected:
    // Merged: the plug-in opened with shifts=merged, and RUNTEST clocks joined to the next scan.
    SvfResult play(std::string_view text, csesvf::SvfOptions options = {}, bool merged = false) {
        startSimulator();
        if (merged) {
            const std::string port = "port=" + std::to_string(simulator->udpPort());
            const char* const argv[] = {"node=127.0.0.1", port.c_str(), "shifts=merged"};
            EXPECT_EQ(plugin->openTarget(3, argv, 0, 0), CsePluginInterface::CSE_SUCCESS);
            EXPECT_EQ(plugin->lockTarget(0), CsePluginInterface::CSE_SUCCESS);
            simulator->resetInspection();
            options.rawShifts = true;
        } else {
            openAndLock();
        }
        std::istringstream stream{std::string(text)};
        options.fileName = "t.svf";
        return csesvf::playSvf(*plugin, stream, options);
    }

    // TCKs the chain spent in `state` with TMS 0, counted from the emulator's records of the
    // raw shifts (each short enough to keep its TMS bits).
    uint64_t clocksStayingIn(CsePluginInterface::CseJtagTapState state) {
        uint64_t clocks = 0;
        for (const quorbit::RawShiftRecord& record : rawShifts()) {
            auto at = static_cast<CsePluginInterface::CseJtagTapState>(record.startState);
            for (uint32_t k = 0; k < record.bitCount; ++k) {
                const bool lastHigh = (record.optionWord & 0x8) != 0 && k + 1 == record.bitCount;
                const bool tms =
                    lastHigh || (!record.tms.empty() && ((record.tms[k / 8] >> (k % 8)) & 1u) != 0);
                if (at == state && !tms) ++clocks;
                at = CsePluginInterface::cseNextTapState(at, tms);
            }
        }
        return clocks;
    }
};

struct PlayRow {
    const char* name;
    std::string_view text;
    bool keepGoing;
    Outcome outcome;
    uint64_t statements, scans, checks, mismatches;
    const char* first;  // "LINE:BIT" of the first mismatch, or the start of the failure
};

class SvfPlaybackRows : public SvfPlaybackTest, public testing::WithParamInterface<PlayRow> {};

TEST_P(SvfPlaybackRows, GivesTheResult) {
    const PlayRow& row = GetParam();
    csesvf::SvfOptions options;
    options.keepGoing = row.keepGoing;
    uint64_t reported = 0;
    options.onMismatch = [&reported](const csesvf::Mismatch&) { ++reported; };
    const SvfResult result = play(row.text, options);
    EXPECT_EQ(result.outcome, row.outcome) << result.failure;
    EXPECT_EQ(result.statements, row.statements);
    EXPECT_EQ(result.scans, row.scans);
    EXPECT_EQ(result.checks, row.checks);
    EXPECT_EQ(result.mismatchCount, row.mismatches);
    EXPECT_EQ(reported, row.mismatches);
    ASSERT_EQ(result.mismatches.size(), row.mismatches);
    if (row.mismatches > 0) {
        const csesvf::Mismatch& m = result.mismatches[0];
        EXPECT_EQ(std::to_string(m.line) + ":" + std::to_string(m.firstBit), row.first);
    } else {
        EXPECT_EQ(result.failure.substr(0, std::string(row.first).size()), row.first);
    }
    // A file refused at its first statement touches nothing, not even the reset.
    if (row.statements == 0 && row.outcome == Outcome::kMalformed) {
        EXPECT_TRUE(rawShifts().empty());
    }
}

const PlayRow kPlayRows[] = {
    {"Passes", "SIR 18 TDI(3FFFF);\nSDR 8 TDI(FF) TDO(F8);\nRUNTEST 10 TCK;\nSTATE DRPAUSE;\n",
     false, Outcome::kPassed, 4, 2, 1, 0, ""},
    {"StopsAtTheFirstMismatch", "SIR 18 TDI(3FFFF);\nSDR 8 TDI(FF) TDO(F0);\nSDR 8 TDO(00);\n",
     false, Outcome::kMismatch, 1, 2, 1, 1, "2:3"},
    {"KeepGoingPlaysToTheEnd", "SIR 18 TDI(3FFFF);\nSDR 8 TDI(FF) TDO(F0);\nSDR 8 TDO(00);\n", true,
     Outcome::kMismatch, 3, 3, 2, 2, "2:3"},
    {"MalformedLateAfterWhatCameBefore", "SIR 18 TDI(3FFFF);\nSDR 8 TDI(FF);\nFOO;\n", false,
     Outcome::kMalformed, 2, 2, 0, 0, "t.svf:3: unknown command 'FOO'"},
    {"NulInAHexValue", "SIR 18 TDI(3FFFF);\nSDR 8 TDI(F\0F);\n"sv, false, Outcome::kMalformed, 1, 1,
     0, 0, "t.svf:2: a control character (byte 0x00)"},
    {"MalformedFirstTouchesNothing", "BAR;\nSIR 18 TDI(3FFFF);\n", false, Outcome::kMalformed, 0, 0,
     0, 0, "t.svf:1: unknown command 'BAR'"},
    {"ByteOrderMarkSkipped", "\xEF\xBB\xBFSIR 18 TDI(3FFFF);\n", false, Outcome::kPassed, 1, 1, 0,
     0, ""},
    // Nothing to play is no pass: a wrong or truncated file would otherwise read as checked.
    {"EmptyFileIsRefused", "", false, Outcome::kMalformed, 0, 0, 0, 0, "t.svf: no statement"},
    {"CommentsAndSettingsOnlyAreRefused", "! header\nENDIR IDLE;\nHIR 0;\n", false,
     Outcome::kMalformed, 0, 0, 0, 0, "t.svf: no statement"},
};

INSTANTIATE_TEST_SUITE_P(Rows, SvfPlaybackRows, testing::ValuesIn(kPlayRows),
                         [](const testing::TestParamInfo<PlayRow>& info) {
                             return info.param.name;
                         });

TEST_F(SvfPlaybackTest, StopsWhenAskedAndReportsAMissingFile) {
    csesvf::SvfOptions options;
    int asked = 0;
    options.stopRequested = [&asked] { return ++asked > 1; };
    const SvfResult stopped = play("SIR 18 TDI(3FFFF);\nSDR 8 TDI(FF);\n", options);
    EXPECT_EQ(stopped.outcome, Outcome::kStopped);
    EXPECT_EQ(stopped.statements, 1u);
    const SvfResult missing = csesvf::playSvfFile(*plugin, "/nonexistent/board.svf", {});
    EXPECT_EQ(missing.outcome, Outcome::kUnreadable);
    EXPECT_EQ(missing.failure,
              "cannot read the SVF file /nonexistent/board.svf: No such file or directory");
    EXPECT_EQ(missing.systemError, ENOENT);
    // A stopped file says it did not finish, so its counts cannot read as a pass.
    EXPECT_EQ(stopped.summary("f.svf"),
              "f.svf: stopped before its end after 1 statement (1 scan, 0 TDO checks, 0 "
              "mismatches): the file did not finish");
}

// The demo chain's IR path is 18 bits: an SIR of another length with HIR and TIR would load the
// devices with instructions made partly of stale bits, so it is refused before it is shifted.
struct IrPathRow {
    const char* name;
    std::string_view text;
    Outcome outcome;
    uint64_t statements;
    const char* failure;
};

void PrintTo(const IrPathRow& row, std::ostream* out) {
    *out << row.name;
}

class SvfIrPathRows : public SvfPlaybackTest, public testing::WithParamInterface<IrPathRow> {};

TEST_P(SvfIrPathRows, RefusesAnSirThatDoesNotFitTheMeasuredPath) {
    csesvf::SvfOptions options;
    options.irPathBits = 18;
    const SvfResult result = play(GetParam().text, options);
    EXPECT_EQ(result.outcome, GetParam().outcome) << result.failure;
    EXPECT_EQ(result.statements, GetParam().statements);
    EXPECT_EQ(result.failure, GetParam().failure);
    if (GetParam().outcome == Outcome::kMalformed) {
        // Nothing of the refused SIR reached the chain: only the scans before it.
        uint64_t irShifts = 0;
        for (const quorbit::RawShiftRecord& record : rawShifts()) irShifts += record.bitCount == 18;
        EXPECT_EQ(irShifts, GetParam().statements);
    }
}

const IrPathRow kIrPathRows[] = {
    {"ShortWithoutTdo", "SIR 16 TDI(FFFF);\n", Outcome::kMalformed, 0,
     "t.svf:1: SIR 16 (HIR 0, TIR 0: 16 bits) does not fit the IR path of 18 bits measured at the "
     "chain scan: the file is for another chain; nothing of the SIR was shifted"},
    {"LongWithTdoAfterAGoodOne", "SIR 18 TDI(3FFFF);\nTIR 2 TDI(3);\nSIR 18 TDI(3FFFF) TDO(1);\n",
     Outcome::kMalformed, 1,
     "t.svf:3: SIR 18 (HIR 0, TIR 2: 20 bits) does not fit the IR path of 18 bits measured at the "
     "chain scan: the file is for another chain; nothing of the SIR was shifted"},
    {"HeaderAndTrailerMakeItFit", "HIR 4 TDI(F);\nTIR 6 TDI(3F);\nSIR 8 TDI(FF);\n",
     Outcome::kPassed, 1, ""},
};

INSTANTIATE_TEST_SUITE_P(Rows, SvfIrPathRows, testing::ValuesIn(kIrPathRows),
                         [](const testing::TestParamInfo<IrPathRow>& info) {
                             return info.param.name;
                         });

// Random files through the BYPASS chain: scans with and without TDO (some of it wrong), masks,
// header bits, end states and RUNTEST. The expected rows are what the whole-file player of the
// previous release reported for the same files (summary, first and last mismatch).
std::string randomFile(uint32_t seed) {
    std::mt19937 random(seed);
    std::string text = "SIR 18 TDI(3FFFF);\n";
    const auto hex = [](uint64_t value, uint32_t bits) {
        char digits[24];
        std::snprintf(digits, sizeof digits, "%llX",
                      static_cast<unsigned long long>(value & ((uint64_t{1} << bits) - 1)));
        return std::string(digits);
    };
    uint32_t header = 0;
    for (int i = 0; i < 40; ++i) {
        const uint32_t kind = random() % 6;
        if (kind == 0) {
            header = random() % 3;
            text += "HDR " + std::to_string(header) + " TDI(0);\n";
        } else if (kind == 1) {
            text += "RUNTEST " + std::to_string(random() % 50) + " TCK;\n";
        } else if (kind == 2) {
            text += random() % 2 ? "ENDDR DRPAUSE;\n" : "ENDDR IDLE;\n";
        } else {
            const uint32_t bits = 4 + random() % 40;
            const uint64_t tdi =
                (uint64_t{random()} << 32 | random()) & ((uint64_t{1} << bits) - 1);
            // BYPASS: the scan's bit k comes out 3 bits later, the header's zeros first.
            uint64_t tdo = (tdi << 3 >> header) & ((uint64_t{1} << bits) - 1);
            if (random() % 4 == 0) tdo ^= uint64_t{1} << (random() % bits);
            text += "SDR " + std::to_string(bits) + " TDI(" + hex(tdi, bits) + ")";
            if (kind != 5) text += " TDO(" + hex(tdo, bits) + ")";
            if (kind == 4) text += " MASK(" + hex(random() | 0xF, bits) + ")";
            text += ";\n";
        }
    }
    return text;
}

struct RandomRow {
    uint32_t seed;
    const char* recorded;  // "scans checks mismatches first-line:bit last-line:bit"
};

enum class Mode { kSplit, kQueued, kCheckEach };

class SvfRandomFiles : public SvfPlaybackTest,
                       public testing::WithParamInterface<std::tuple<RandomRow, Mode>> {};

// Split, merged with queued statements and merged with each check before the next statement:
// the same reports, and without keep-going the same first mismatch.
TEST_P(SvfRandomFiles, PlayAsTheWholeFilePlayerDid) {
    const RandomRow row = std::get<0>(GetParam());
    const Mode mode = std::get<1>(GetParam());
    csesvf::SvfOptions options;
    options.keepGoing = true;
    options.checkEach = mode == Mode::kCheckEach;
    const SvfResult result = play(randomFile(row.seed), options, mode != Mode::kSplit);
    const auto at = [](const csesvf::Mismatch& m) {
        return std::to_string(m.line) + ":" + std::to_string(m.firstBit);
    };
    std::string seen = std::to_string(result.scans) + " " + std::to_string(result.checks) + " " +
                       std::to_string(result.mismatchCount);
    if (!result.mismatches.empty())
        seen += " " + at(result.mismatches.front()) + " " + at(result.mismatches.back());
    EXPECT_EQ(seen, row.recorded) << randomFile(row.seed);
    plugin.reset();
    simulator->stop();
    options.keepGoing = false;
    const SvfResult first = play(randomFile(row.seed), options, mode != Mode::kSplit);
    ASSERT_EQ(first.mismatches.size(), 1u);
    ASSERT_FALSE(result.mismatches.empty());
    EXPECT_EQ(at(first.mismatches[0]), at(result.mismatches[0]));
}

const RandomRow kRandomRows[] = {
    {1, "29 20 13 6:3 41:4"}, {2, "21 12 10 10:3 41:2"}, {3, "18 7 6 2:0 37:2"},
    {4, "16 8 6 10:3 38:1"},  {5, "25 14 13 7:3 38:2"},  {6, "21 14 10 8:0 32:6"},
    {7, "25 18 15 6:6 39:2"}, {8, "23 14 11 17:2 41:2"},
};

void PrintTo(const RandomRow& row, std::ostream* out) {
    *out << "seed " << row.seed;
}

INSTANTIATE_TEST_SUITE_P(Seeds, SvfRandomFiles,
                         testing::Combine(testing::ValuesIn(kRandomRows),
                                          testing::Values(Mode::kSplit, Mode::kQueued,
                                                          Mode::kCheckEach)),
                         [](const testing::TestParamInfo<std::tuple<RandomRow, Mode>>& info) {
                             const Mode mode = std::get<1>(info.param);
                             return "Seed" + std::to_string(std::get<0>(info.param).seed) +
                                    (mode == Mode::kSplit    ? "Split"
                                     : mode == Mode::kQueued ? "Queued"
                                                             : "CheckEach");
                         });

// Every RUNTEST clocks exactly its count in its run state, whether it starts there or not, and
// whether its clocks go alone or with the next scan.
struct ClockRow {
    const char* name;
    const char* text;
    uint64_t idle;   // TCKs with TMS 0 in Run-Test/Idle
    uint64_t pause;  // in Pause-DR
};

void PrintTo(const ClockRow& row, std::ostream* out) {
    *out << row.name;
}

class SvfRunTestClocks : public SvfPlaybackTest,
                         public testing::WithParamInterface<std::tuple<ClockRow, bool>> {};

TEST_P(SvfRunTestClocks, ClocksExactlyTheCountInTheRunState) {
    const ClockRow row = std::get<0>(GetParam());
    const SvfResult result = play(row.text, {}, std::get<1>(GetParam()));
    ASSERT_EQ(result.outcome, Outcome::kPassed) << result.failure;
    EXPECT_EQ(clocksStayingIn(CsePluginInterface::CSEJTAG_RUN_TEST_IDLE), row.idle);
    EXPECT_EQ(clocksStayingIn(CsePluginInterface::CSEJTAG_PAUSE_DR), row.pause);
}

const ClockRow kClockRows[] = {
    {"FromReset", "RUNTEST 10 TCK;\n", 10, 0},
    {"AlreadyInTheRunState", "STATE IDLE;\nRUNTEST 10 TCK;\n", 10, 0},
    {"TwoInARow", "RUNTEST 10 TCK;\nRUNTEST 7 TCK;\n", 17, 0},
    {"OneClock", "STATE IDLE;\nRUNTEST 1 TCK;\n", 1, 0},
    {"NoClockOnlyAWait", "STATE IDLE;\nRUNTEST 0 TCK 1E-6 SEC;\n", 0, 0},
    {"BetweenScans", "SIR 18 TDI(3FFFF);\nSDR 8 TDI(FF);\nRUNTEST 5 TCK;\nSDR 8 TDI(0F);\n", 5, 0},
    {"PauseThenIdle",
     "SIR 18 TDI(3FFFF);\nRUNTEST DRPAUSE 6 TCK ENDSTATE IDLE;\nRUNTEST DRPAUSE 3 TCK;\n"
     "SDR 8 TDI(FF);\n",
     0, 9},
};

INSTANTIATE_TEST_SUITE_P(Files, SvfRunTestClocks,
                         testing::Combine(testing::ValuesIn(kClockRows), testing::Bool()),
                         [](const testing::TestParamInfo<std::tuple<ClockRow, bool>>& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) ? "Merged" : "Split");
                         });

// With merged shifts and --check-each a scan is one request, and so is a RUNTEST and the checked
// scan after it; queued, the whole file is one.
TEST_F(SvfPlaybackTest, MergedPlaysAStatementPairInOneRequest) {
    std::string text = "SIR 18 TDI(3FFFF);\n";
    for (int i = 0; i < 50; ++i)
        text += "SDR 26 TDI(2AAAAAA) TDO(1555550) MASK(3FFFFF8);\nRUNTEST 10 TCK;\n";
    const SvfResult split = play(text);
    ASSERT_EQ(split.outcome, Outcome::kPassed) << split.failure;
    EXPECT_EQ(simulator->counters().requests, 1u + 3 + 50 * 5) << "reset, SIR, 5 per pair";
    for (const bool checkEach : {true, false}) {
        plugin.reset();
        simulator->stop();
        csesvf::SvfOptions options;
        options.checkEach = checkEach;
        const SvfResult merged = play(text, options, true);
        ASSERT_EQ(merged.outcome, Outcome::kPassed) << merged.failure;
        EXPECT_EQ(merged.checks, 50u);
        // The reset, one per pair (the SIR with the first), the last RUNTEST; or the reset and
        // one raw shift.
        EXPECT_EQ(simulator->counters().requests, checkEach ? 1u + 50 + 1 : 1u + 1);
    }
}

TEST(SvfSummary, CountsTakeTheSingularForOne) {
    struct Row {
        uint64_t scans, checks, mismatches;
        const char* text;
    };
    for (const Row& row : {Row{1, 1, 0, "f.svf: 1 scan, 1 TDO check, 0 mismatches"},
                           Row{2, 0, 1, "f.svf: 2 scans, 0 TDO checks, 1 mismatch"}}) {
        SvfResult result;
        result.scans = row.scans;
        result.checks = row.checks;
        result.mismatchCount = row.mismatches;
        EXPECT_EQ(result.summary("f.svf"), row.text);
    }
}

}  // namespace
