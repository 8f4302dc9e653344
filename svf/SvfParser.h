// SPDX-License-Identifier: Apache-2.0
// Serial Vector Format text into the commands a player carries out, with every rule of the format
// applied here: header and trailer patterns joined to each scan, TDI, MASK and SMASK remembered
// for the next scan of the same length, sticky RUNTEST states, end states. Knows nothing of the
// plug-in, so tests and the fuzzer call it directly. It reads the text as it goes: each scan's hex
// strings go straight into the bits that are shifted, and nothing else grows with the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "svf/SvfInput.h"
#include "svf/SvfLexer.h"

namespace csesvf {

// TAP states in IEEE 1149.1 order, the same codes as the plug-in's state type.
enum class SvfState : uint8_t {
    kReset,
    kIdle,
    kDrSelect,
    kDrCapture,
    kDrShift,
    kDrExit1,
    kDrPause,
    kDrExit2,
    kDrUpdate,
    kIrSelect,
    kIrCapture,
    kIrShift,
    kIrExit1,
    kIrPause,
    kIrExit2,
    kIrUpdate
};

// The plug-in shifts an IR path in one raw shift, which carries at most this many bits.
constexpr uint32_t kMaxSvfIrBits = 122816;
// DR shifts are split by the plug-in; this bounds the memory of one scan (32 MiB per buffer).
constexpr uint32_t kMaxSvfDrBits = 1u << 28;
// RUNTEST clock counts and whole waits.
constexpr uint64_t kMaxSvfRunClocks = UINT32_MAX;
constexpr double kMaxSvfWaitSeconds = 86400.0;

// One SIR or SDR with the header and trailer in force: header bits first (nearest TDO). The
// buffers belong to the parser and hold until its next call.
struct SvfScan {
    bool instruction = false;  // SIR (IR path) or SDR (DR path)
    uint32_t headerBits = 0;
    uint32_t ownBits = 0;  // the length the statement gave
    uint32_t totalBits = 0;
    const uint8_t* tdi = nullptr;
    bool check = false;  // the statement gave TDO
    const uint8_t* expected = nullptr;
    const uint8_t* mask = nullptr;  // null: every bit counts; else zero over header and trailer
                                    // parts that give no TDO
    SvfState endState = SvfState::kIdle;
};

struct SvfRunTest {
    SvfState runState = SvfState::kIdle;
    uint32_t clocks = 0;  // TCK cycles in runState
    double minSeconds = 0;
    SvfState endState = SvfState::kIdle;
};

struct SvfCommand {
    enum class Kind { kScan, kRunTest, kState, kTapReset };
    Kind kind = Kind::kScan;
    uint64_t line = 0;           // where the statement starts
    uint64_t endOffset = 0;      // byte offset just past its ';' (for progress)
    SvfScan scan;                // kScan
    SvfRunTest runTest;          // kRunTest
    std::vector<SvfState> path;  // kState: each state in turn; kTapReset: none
};

// The statements of one text, one at a time, for a TAP that starts in RESET; statements that only
// set something (ENDIR, FREQUENCY, HDR, TRST OFF, ...) produce no command.
class SvfParser {
  public:
    explicit SvfParser(SvfInput& input) : lexer_(input) {}

    // True with a command; false at the end (error.message empty) or on an error. At the end,
    // inputFailure() tells whether the text ended or could not be read further.
    [[nodiscard]] bool next(SvfCommand& command, SvfError& error);
    [[nodiscard]] SvfInput::Failure inputFailure() const { return lexer_.inputFailure(); }
    [[nodiscard]] uint64_t offset() const { return lexer_.offset(); }
    // The last FREQUENCY in Hz, 0 when none was given (or "FREQUENCY;" reset it).
    [[nodiscard]] double frequencyHz() const { return frequencyHz_; }

    struct Pattern {  // a remembered scan or a header/trailer pattern
        uint32_t bits = 0;
        bool seen = false;
        bool hasTdi = false;  // TDI given since the length was last set
        std::vector<uint8_t> tdi;
        bool maskGiven = false;  // else every bit counts
        std::vector<uint8_t> mask;
        bool hasTdo = false;  // headers and trailers: TDO given with the pattern
        std::vector<uint8_t> tdo;
    };

  private:
    struct Token {
        std::string word;  // empty for a parenthesised string
        char bad = 0;      // its first character that is no hex digit
    };

    bool statement(SvfCommand& command, bool& produced, SvfError& error);
    bool collect(SvfError& error);
    bool execute(SvfCommand& command, bool& produced, std::string& error);
    bool scanStatement(size_t patternIndex, SvfCommand& command, bool& produced, SvfError& error);
    bool scanParameters(Pattern& pattern, bool& hasTdo, SvfError& error);
    void joinScan(size_t patternIndex, bool hasTdo, SvfScan& scan);
    bool runTestStatement(SvfCommand& command, std::string& error);
    bool stateStatement(SvfCommand& command, std::string& error);
    bool noSemicolon(SvfError& error) const;

    SvfLexer lexer_;
    uint64_t statementLine_ = 0;
    std::vector<Token> tokens_;  // of a statement other than a scan
    Pattern patterns_[6];        // SIR, SDR, HIR, HDR, TIR, TDR
    std::vector<uint8_t> tdo_;   // of the current scan statement
    std::vector<uint8_t> joinedTdi_, joinedExpected_, joinedMask_;  // with header or trailer
    SvfState endIr_ = SvfState::kIdle;
    SvfState endDr_ = SvfState::kIdle;
    SvfState runState_ = SvfState::kIdle;
    SvfState current_ = SvfState::kReset;  // where the commands so far leave the TAP
    double frequencyHz_ = 0;
};

// "DRPAUSE" and the like, any case; false for a word that names no state.
[[nodiscard]] bool svfStateByName(std::string_view word, SvfState& state);
[[nodiscard]] const char* svfStateName(SvfState state);
[[nodiscard]] bool svfStableState(SvfState state);

}  // namespace csesvf
