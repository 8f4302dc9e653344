// SPDX-License-Identifier: Apache-2.0
// Serial Vector Format playback through any plug-in of the interface, for every front end: the
// text is read, parsed and played statement by statement, so memory holds one scan, not the file.
// Only the plug-in's chain-level calls are used (shiftChainIR/DR, navigateTAP, initializeTAP).
//
//   csesvf::SvfOptions options;
//   options.fileName = "board.svf";
//   options.keepGoing = true;
//   options.onMismatch = [](const csesvf::Mismatch& m) { std::cerr << m.file << ":" << m.line; };
//   const csesvf::SvfResult result = csesvf::playSvfFile(session.plugin(), "board.svf", options);
//   if (result.outcome != csesvf::SvfResult::Outcome::kPassed) std::cerr << result.failure;
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <string>
#include <vector>

namespace CsePluginInterface {
class ICsePlugin;
}

namespace csesvf {

// The most a file or a stream may hold; a larger regular file is refused before anything is
// played, a larger stream when it gets there.
constexpr uint64_t kMaxSvfBytes = uint64_t{1} << 30;

// One failed TDO check. Hex values are written most significant digit first, as SVF writes them:
// the statement's own bits, or the whole shift when a header or trailer bit failed; scans of more
// than 1,024 bits show the 256-bit window around the first differing bit.
struct Mismatch {
    std::string file;
    uint64_t line = 0;     // where the statement starts
    std::string command;   // "SDR 24", "SIR 8"
    std::string headline;  // the one-line report: "FILE:LINE: SDR 24: TDO mismatch at bit 0"
    std::string expected;  // hex
    std::string read;
    std::string mask;
    uint32_t firstBit = 0;     // first differing bit of the statement (of the whole shift for a
                               // header or trailer bit)
    uint32_t windowFirst = 0;  // the bit number of the lowest bit shown in the hex values
    // Statements after it that went to the cable in the same raw shift before its TDO was back
    // (queued playback; 0 otherwise), and the line of the last of them. Set when the playback
    // stops at this mismatch; `playedAfterText` says it in words, empty when none were.
    uint64_t playedAfter = 0;
    uint64_t playedUpToLine = 0;
    std::string playedAfterText;  // "3 statements after it were played, up to line 17"
};

// A statement (or a queue of them) played again after a failed call.
struct Repetition {
    std::string file;
    uint64_t line = 0;        // the statement, or the first of the queue
    uint32_t attempt = 0;     // 1 for the first repetition
    uint32_t retries = 0;     // SvfOptions::retries
    uint64_t reloadLine = 0;  // the SIR loaded again; 0: a TAP reset (no SIR since the last one)
    std::string failure;      // what failed, "FILE:LINE: reason"
    // "FILE:LINE: SDR 24: the DR shift failed; played again (1 of 2) after loading the SIR of
    // line 6 again"
    std::string headline;
};

struct SvfOptions {
    std::string fileName;    // in FILE:LINE; empty: the path given to playSvfFile ("<stdin>" for -)
    bool keepGoing = false;  // report every mismatch instead of stopping at the first
    // Consecutive statements go to the cable as one raw shift (the plug-in's "raw-shift"
    // command; a plug-in without it is played statement by statement), up to the plug-in's block
    // of 61,408 clocks, and their TDO checks are made when that shift's TDO is back. A queue
    // ends at its block limit, before a RUNTEST with a wait (the wait must pass on the board),
    // after a checked scan that follows such a wait (a status poll is checked before anything
    // after it is played) and at the end of the file. A scan longer than a block, TRST and
    // RUNTEST in RESET go alone. With shifts=merged the plug-in sends each raw shift as one
    // request.
    bool rawShifts = false;
    // With rawShifts: every checked scan also ends its queue, so nothing after a mismatch is
    // played (the RUNTEST and STATE statements before it still go with it).
    bool checkEach = false;
    // After a failed call: load the instruction the file last set again (its last SIR with the
    // header and trailer it was played with, or a TAP reset when none came since the last one),
    // go back to the state the failed statement started from and play it again, at most this
    // many times per statement. A failed queue is played again from its start.
    uint32_t retries = 0;
    // Called before each repetition.
    std::function<void(const Repetition&)> onRepeat;
    // The IR path's length as the chain scan measured it: an SIR whose length with HIR and TIR
    // differs is refused (kMalformed) before it is shifted. 0: not known, nothing is checked.
    uint32_t irPathBits = 0;
    // Called now and then, and once at the end; bytesTotal is 0 when unknown (a pipe).
    std::function<void(uint64_t bytesDone, uint64_t bytesTotal)> progress;
    // Asked between statements; true stops the playback where it is (kStopped).
    std::function<bool()> stopRequested;
    // Called as each mismatch is found, before playing goes on.
    std::function<void(const Mismatch&)> onMismatch;
    // At most this many mismatches are kept in SvfResult::mismatches (all are counted).
    size_t keepMismatches = 1000;
};

struct SvfResult {
    enum class Outcome {
        kPassed,      // every TDO check matched
        kMismatch,    // a TDO check failed (with keepGoing: at least one)
        kFailed,      // the plug-in failed a call
        kMalformed,   // the text is malformed, asks for what the cable cannot do, has an SIR
                      // that does not fit the IR path, or holds no statement; what came before
                      // the bad statement has been played (nothing can be un-played)
        kUnreadable,  // the file cannot be opened or read, or is larger than kMaxSvfBytes
        kStopped      // stopRequested said so
    };
    Outcome outcome = Outcome::kPassed;
    std::string failure;  // kFailed, kMalformed, kUnreadable: "FILE:LINE: reason" or
                          // "cannot read the SVF file FILE: No such file or directory"
    int systemError = 0;  // kUnreadable: the errno of the failed open (0: another cause)
    // Statements carried out on the cable (scans, RUNTEST, STATE, TRST); queued ones count when
    // their raw shift is done, also those after a mismatch in it.
    uint64_t statements = 0;
    uint64_t scans = 0;
    uint64_t checks = 0;  // scans with TDO
    uint64_t mismatchCount = 0;
    std::vector<Mismatch> mismatches;  // the first SvfOptions::keepMismatches of them
    uint64_t repetitions = 0;          // statements and queues played again (SvfOptions::retries)
    uint64_t bytesRead = 0;

    // "FILE: 4 scans, 3 TDO checks, 0 mismatches" ("1 scan", ...); kStopped says the file did not
    // finish: "FILE: stopped before its end after 12 statements (4 scans, ...): the file did not
    // finish"
    [[nodiscard]] std::string summary(const std::string& fileName) const;
};

[[nodiscard]] const char* outcomeName(SvfResult::Outcome outcome);

// Plays input from the TAP reset on. Never throws; failures are in the result.
[[nodiscard]] SvfResult playSvf(CsePluginInterface::ICsePlugin& plugin, std::istream& input,
                                const SvfOptions& options);

// Whether path ("-": standard input, always) can be opened and is not larger than kMaxSvfBytes,
// for refusing it before a session is opened; false with the reason.
[[nodiscard]] bool checkSvfFile(const std::string& path, std::string& reason,
                                int* systemError = nullptr);

// The file at path ("-": standard input). An unopenable, unreadable or oversized file gives
// kUnreadable before the cable is touched.
[[nodiscard]] SvfResult playSvfFile(CsePluginInterface::ICsePlugin& plugin, const std::string& path,
                                    const SvfOptions& options);

}  // namespace csesvf
