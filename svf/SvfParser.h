// Serial Vector Format text into the commands a player carries out, with every rule of the format
// applied here: header and trailer patterns joined to each scan, TDI, MASK and SMASK remembered
// for the next scan of the same length, sticky RUNTEST states, end states. Knows nothing of the
// plug-in, so tests and the fuzzer call it directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

// One SIR or SDR with the header and trailer in force: header bits first (nearest TDO).
struct SvfScan {
    bool instruction = false;  // SIR (IR path) or SDR (DR path)
    uint32_t headerBits = 0;
    uint32_t ownBits = 0;  // the length the statement gave
    uint32_t totalBits = 0;
    std::vector<uint8_t> tdi;
    bool check = false;  // the statement gave TDO
    std::vector<uint8_t> expected;
    std::vector<uint8_t> mask;  // zero over header and trailer parts that give no TDO
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
    uint32_t line = 0;           // where the statement starts
    size_t endOffset = 0;        // byte offset just past its ';' (for progress)
    SvfScan scan;                // kScan
    SvfRunTest runTest;          // kRunTest
    std::vector<SvfState> path;  // kState: each state in turn; kTapReset: none
};

// The statements of one text, one at a time, for a TAP that starts in RESET; statements that only
// set something (ENDIR, FREQUENCY, HDR, TRST OFF, ...) produce no command. The text must outlive
// the parser.
class SvfParser {
  public:
    explicit SvfParser(std::string_view text);

    // True with a command; false at the end (error.message empty) or on an error.
    [[nodiscard]] bool next(SvfCommand& command, SvfError& error);
    // The last FREQUENCY in Hz, 0 when none was given (or "FREQUENCY;" reset it).
    [[nodiscard]] double frequencyHz() const { return frequencyHz_; }

    struct Pattern {  // a remembered scan or a header/trailer pattern
        uint32_t bits = 0;
        bool seen = false;
        bool hasTdi = false;  // TDI given since the length was last set
        std::vector<uint8_t> tdi, mask, smask;
        bool hasTdo = false;  // headers and trailers: TDO given with the pattern
        std::vector<uint8_t> tdo;
    };

  private:
    const std::vector<SvfLexer::Token>& tokens() const { return lexer_.tokens(); }
    bool execute(SvfCommand& command, bool& produced, std::string& error);
    bool scanStatement(size_t patternIndex, SvfCommand& command, bool& produced,
                       std::string& error);
    bool scanParameters(Pattern& pattern, bool& hasTdo, std::vector<uint8_t>& tdo,
                        std::string& error);
    void joinScan(size_t patternIndex, const std::vector<uint8_t>* tdo, SvfScan& scan) const;
    bool runTestStatement(SvfCommand& command, std::string& error);
    bool stateStatement(SvfCommand& command, std::string& error);

    SvfLexer lexer_;
    Pattern patterns_[6];  // SIR, SDR, HIR, HDR, TIR, TDR
    SvfState endIr_ = SvfState::kIdle;
    SvfState endDr_ = SvfState::kIdle;
    SvfState runState_ = SvfState::kIdle;
    SvfState current_ = SvfState::kReset;  // where the commands so far leave the TAP
    double frequencyHz_ = 0;
};

// A whole file, parsed before the cable is touched.
struct SvfProgram {
    std::string fileName;  // as given ("-" is standard input)
    size_t fileBytes = 0;
    std::vector<SvfCommand> commands;
};

// Every command of a text; false with the first error.
[[nodiscard]] bool parseSvf(std::string_view text, std::vector<SvfCommand>& commands,
                            SvfError& error);

// "DRPAUSE" and the like, any case; false for a word that names no state.
[[nodiscard]] bool svfStateByName(std::string_view word, SvfState& state);
[[nodiscard]] const char* svfStateName(SvfState state);
[[nodiscard]] bool svfStableState(SvfState state);

}  // namespace csesvf
