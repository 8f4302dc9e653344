// SPDX-License-Identifier: Apache-2.0
#include "svf/SvfParser.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

#include "svf/SvfBits.h"

namespace csesvf {
namespace {

const char* const kStateNames[16] = {
    "RESET",    "IDLE",     "DRSELECT",  "DRCAPTURE", "DRSHIFT", "DREXIT1", "DRPAUSE", "DREXIT2",
    "DRUPDATE", "IRSELECT", "IRCAPTURE", "IRSHIFT",   "IREXIT1", "IRPAUSE", "IREXIT2", "IRUPDATE"};

// Successor for TMS 0 and TMS 1 (IEEE 1149.1), to check explicit STATE paths.
constexpr uint8_t kNextState[16][2] = {{1, 0},   {1, 2},   {3, 9},   {4, 5},  {4, 5},   {6, 8},
                                       {6, 7},   {4, 8},   {1, 2},   {10, 0}, {11, 12}, {11, 12},
                                       {13, 15}, {13, 14}, {11, 15}, {1, 2}};

constexpr size_t kMaxTokens = 4096;  // a STATE path never needs more

// The six statements that take scan parameters, in the order of SvfParser::patterns_.
const char* const kScanKeywords[6] = {"SIR", "SDR", "HIR", "HDR", "TIR", "TDR"};
constexpr size_t kSir = 0, kHir = 2, kHdr = 3, kTir = 4, kTdr = 5;

bool same(std::string_view word, std::string_view keyword) {
    return word.size() == keyword.size() &&
           std::equal(word.begin(), word.end(), keyword.begin(), [](char a, char b) {
               return std::toupper(static_cast<unsigned char>(a)) == b;
           });
}

std::string quoted(std::string_view word) {
    std::string text(word.substr(0, 40));
    for (char& c : text) {
        if (!std::isprint(static_cast<unsigned char>(c))) c = '?';
    }
    return "'" + text + (word.size() > 40 ? "...'" : "'");
}

bool parseLength(std::string_view word, uint64_t maxValue, uint32_t& value, std::string& error) {
    uint64_t parsed = 0;
    bool ok = !word.empty() && word.size() <= 10;
    for (size_t i = 0; ok && i < word.size(); ++i) {
        ok = word[i] >= '0' && word[i] <= '9';
        parsed = parsed * 10 + static_cast<uint64_t>(word[i] - '0');
    }
    if (!ok || parsed > maxValue) {
        error = "bad length " + quoted(word) + " (a whole number up to " +
                std::to_string(maxValue) + ")";
        return false;
    }
    value = static_cast<uint32_t>(parsed);
    return true;
}

// digits [. digits] [E [+-] digits], or . digits: SVF's real numbers.
bool parseReal(std::string_view word, double& value) {
    size_t i = 0, digits = 0;
    const auto run = [&] {
        size_t n = 0;
        for (; i < word.size() && std::isdigit(static_cast<unsigned char>(word[i])); ++i) ++n;
        return n;
    };
    digits += run();
    if (i < word.size() && word[i] == '.') ++i, digits += run();
    if (digits == 0) return false;
    if (i < word.size() && (word[i] == 'E' || word[i] == 'e')) {
        ++i;
        if (i < word.size() && (word[i] == '+' || word[i] == '-')) ++i;
        if (run() == 0) return false;
    }
    if (i != word.size() || word.size() > 64) return false;
    value = std::strtod(std::string(word).c_str(), nullptr);
    return std::isfinite(value);
}

bool stateWord(std::string_view word, bool mustBeStable, SvfState& state, std::string& error) {
    if (!svfStateByName(word, state)) {
        error = "unknown TAP state " + quoted(word);
        return false;
    }
    if (mustBeStable && !svfStableState(state)) {
        error = std::string(svfStateName(state)) +
                " is not a stable state (RESET, IDLE, DRPAUSE, IRPAUSE)";
        return false;
    }
    return true;
}

}  // namespace

bool svfStateByName(std::string_view word, SvfState& state) {
    for (size_t i = 0; i < 16; ++i) {
        if (same(word, kStateNames[i])) {
            state = static_cast<SvfState>(i);
            return true;
        }
    }
    return false;
}

const char* svfStateName(SvfState state) {
    return kStateNames[static_cast<size_t>(state) & 15];
}

bool svfStableState(SvfState state) {
    return state == SvfState::kReset || state == SvfState::kIdle || state == SvfState::kDrPause ||
           state == SvfState::kIrPause;
}

bool SvfParser::next(SvfCommand& command, SvfError& error) {
    error = SvfError{};
    while (true) {
        bool produced = false;
        command.path.clear();
        if (!statement(command, produced, error)) return false;
        if (produced) {
            command.line = statementLine_;
            command.endOffset = lexer_.offset();
            return true;
        }
    }
}

bool SvfParser::noSemicolon(SvfError& error) const {
    // A text that could not be read to its end is reported as such by the caller.
    if (lexer_.inputFailure() == SvfInput::Failure::kNone)
        error = {statementLine_, "the last statement has no ';'"};
    return false;
}

// One statement up to its ';'; false at the end of the text (error.message empty) or on an error.
bool SvfParser::statement(SvfCommand& command, bool& produced, SvfError& error) {
    SvfLexer::Token token = SvfLexer::Token::kSemicolon;
    while (token == SvfLexer::Token::kSemicolon) token = lexer_.next(error);  // empty statements
    if (token == SvfLexer::Token::kEnd || token == SvfLexer::Token::kError) return false;
    statementLine_ = lexer_.tokenLine();
    if (token == SvfLexer::Token::kWord) {
        for (size_t i = 0; i < 6; ++i) {
            if (same(lexer_.word(), kScanKeywords[i]))
                return scanStatement(i, command, produced, error);
        }
    }
    // Anything else is refused where it starts, before its text is read on.
    const char* const known[] = {"RUNTEST", "STATE", "ENDIR", "ENDDR", "FREQUENCY", "TRST"};
    const bool isKnown = token == SvfLexer::Token::kWord &&
                         std::any_of(std::begin(known), std::end(known),
                                     [this](const char* k) { return same(lexer_.word(), k); });
    if (!isKnown) {
        tokens_.assign(1, {token == SvfLexer::Token::kWord ? lexer_.word() : "(", 0});
        std::string message;
        bool produced = false;
        (void)execute(command, produced, message);
        error = {statementLine_, message};
        return false;
    }
    tokens_.clear();
    tokens_.push_back({lexer_.word(), 0});
    if (token == SvfLexer::Token::kOpen && !collect(error)) return false;
    while (true) {
        token = lexer_.next(error);
        if (token == SvfLexer::Token::kSemicolon) break;
        if (token == SvfLexer::Token::kEnd) return noSemicolon(error);
        if (token == SvfLexer::Token::kError) return false;
        if (tokens_.size() >= kMaxTokens) {
            error = {statementLine_, "a statement of more than 4096 words"};
            return false;
        }
        tokens_.push_back({token == SvfLexer::Token::kWord ? lexer_.word() : std::string(), 0});
        if (token == SvfLexer::Token::kOpen && !collect(error)) return false;
    }
    std::string message;
    if (!execute(command, produced, message)) {
        error = {statementLine_, message};
        return false;
    }
    return true;
}

// A parenthesised string of a statement other than a scan: checked, not kept.
bool SvfParser::collect(SvfError& error) {
    SvfLexer::HexString hex;
    if (!lexer_.readHex(0, nullptr, hex, error)) return false;
    tokens_.back().bad = hex.bad;
    return true;
}

bool SvfParser::execute(SvfCommand& command, bool& produced, std::string& error) {
    const std::string_view keyword = tokens_[0].word;
    const size_t count = tokens_.size();
    if (same(keyword, "RUNTEST")) {
        produced = true;
        return runTestStatement(command, error);
    }
    if (same(keyword, "STATE")) {
        produced = true;
        return stateStatement(command, error);
    }
    if (same(keyword, "ENDIR") || same(keyword, "ENDDR")) {
        if (count != 2 || tokens_[1].word.empty()) {
            error = std::string(same(keyword, "ENDIR") ? "ENDIR" : "ENDDR") + " takes one state";
            return false;
        }
        return stateWord(tokens_[1].word, true, same(keyword, "ENDIR") ? endIr_ : endDr_, error);
    }
    if (same(keyword, "FREQUENCY")) {
        if (count == 1) {
            frequencyHz_ = 0;
            return true;
        }
        double hz = 0;
        if (count == 3 && parseReal(tokens_[1].word, hz) && hz > 0 && same(tokens_[2].word, "HZ")) {
            frequencyHz_ = hz;  // recorded only: the cable sets its own clock
            return true;
        }
        error = "FREQUENCY takes 'cycles HZ' or nothing";
        return false;
    }
    if (same(keyword, "TRST")) {
        const std::string_view mode = count == 2 ? tokens_[1].word : std::string_view();
        if (same(mode, "ON")) {
            // No TRST line on this cable: a TMS reset brings every TAP to RESET the same way.
            command.kind = SvfCommand::Kind::kTapReset;
            current_ = SvfState::kReset;
            produced = true;
            return true;
        }
        if (same(mode, "OFF") || same(mode, "Z") || same(mode, "ABSENT")) return true;
        error = "TRST takes ON, OFF, Z or ABSENT";
        return false;
    }
    if (same(keyword, "PIO") || same(keyword, "PIOMAP")) {
        error = std::string(same(keyword, "PIO") ? "PIO" : "PIOMAP") +
                " is not supported: the cable has no parallel test pins";
        return false;
    }
    error = "unknown command " + quoted(keyword);
    return false;
}

// TDI, TDO, MASK and SMASK after the length, each at most once, each read straight into its bits
// (SMASK only checked: TDI is shifted as written).
bool SvfParser::scanParameters(Pattern& pattern, bool& hasTdo, SvfError& error) {
    const char* const names[4] = {"TDI", "TDO", "MASK", "SMASK"};
    bool given[4] = {};
    const auto fail = [&](const std::string& message) {
        error = {statementLine_, message};
        return false;
    };
    while (true) {
        SvfLexer::Token token = lexer_.next(error);
        if (token == SvfLexer::Token::kSemicolon) break;
        if (token == SvfLexer::Token::kEnd) return noSemicolon(error);
        if (token == SvfLexer::Token::kError) return false;
        size_t which = 4;
        for (size_t n = 0; n < 4 && token == SvfLexer::Token::kWord; ++n) {
            if (same(lexer_.word(), names[n])) which = n;
        }
        if (which == 4) {
            return fail("unexpected " +
                        quoted(token == SvfLexer::Token::kWord ? lexer_.word() : "(") +
                        " (TDI, TDO, MASK or SMASK expected)");
        }
        token = lexer_.next(error);
        if (token == SvfLexer::Token::kEnd) return noSemicolon(error);
        if (token == SvfLexer::Token::kError) return false;
        if (token != SvfLexer::Token::kOpen)
            return fail(std::string(names[which]) + " needs a hex value in parentheses");
        if (given[which]) return fail(std::string(names[which]) + " given twice");
        given[which] = true;
        std::vector<uint8_t>* target = which == 0   ? &pattern.tdi
                                       : which == 1 ? &tdo_
                                       : which == 2 ? &pattern.mask
                                                    : nullptr;
        SvfLexer::HexString hex;
        if (!lexer_.readHex(pattern.bits, target, hex, error)) return false;
        if (hex.bad != 0) {
            return fail(std::string(names[which]) + ": unexpected " +
                        quoted(std::string_view(&hex.bad, 1)) + " in a hex string");
        }
        if (hex.tooLong) {
            return fail(std::string(names[which]) + ": the value has more bits than the length " +
                        std::to_string(pattern.bits));
        }
        if (which == 2) pattern.maskGiven = true;
    }
    hasTdo = given[1];
    pattern.hasTdi = pattern.hasTdi || given[0];
    if (!pattern.hasTdi) {
        return fail("TDI must be given: no earlier scan of the same kind had " +
                    std::to_string(pattern.bits) + " bits");
    }
    return true;
}

bool SvfParser::scanStatement(size_t patternIndex, SvfCommand& command, bool& produced,
                              SvfError& error) {
    Pattern& pattern = patterns_[patternIndex];
    const bool instruction = patternIndex % 2 == 0;
    const SvfLexer::Token token = lexer_.next(error);
    if (token == SvfLexer::Token::kEnd) return noSemicolon(error);
    if (token == SvfLexer::Token::kError) return false;
    std::string message;
    uint32_t bits = 0;
    if (token == SvfLexer::Token::kSemicolon) {
        message = "a length is missing";
    } else if (token == SvfLexer::Token::kOpen) {
        message = "bad length '(' (a whole number up to " +
                  std::to_string(instruction ? kMaxSvfIrBits : kMaxSvfDrBits) + ")";
    } else {
        (void)parseLength(lexer_.word(), instruction ? kMaxSvfIrBits : kMaxSvfDrBits, bits,
                          message);
    }
    if (!message.empty()) {
        error = {statementLine_, message};
        return false;
    }
    if (!pattern.seen || pattern.bits != bits) {
        // A new length forgets the remembered TDI and sets MASK back to all care.
        pattern.seen = true;
        pattern.bits = bits;
        pattern.hasTdi = bits == 0;
        pattern.tdi.clear();
        pattern.maskGiven = false;
    }
    bool hasTdo = false;
    if (!scanParameters(pattern, hasTdo, error)) return false;
    if (patternIndex >= kHir) {  // a header or trailer pattern, in force until the next one
        pattern.hasTdo = hasTdo;
        if (hasTdo) pattern.tdo = tdo_;
        return true;
    }
    const Pattern& header = patterns_[instruction ? kHir : kHdr];
    const Pattern& trailer = patterns_[instruction ? kTir : kTdr];
    const uint64_t total = uint64_t{header.bits} + bits + trailer.bits;
    const uint64_t limit = instruction ? kMaxSvfIrBits : kMaxSvfDrBits;
    if (total > limit) {
        error = {statementLine_, "the scan has " + std::to_string(total) +
                                     " bits with header and trailer; at most " +
                                     std::to_string(limit) +
                                     (instruction ? " IR bits go in one shift" : " are supported")};
        return false;
    }
    command.kind = SvfCommand::Kind::kScan;
    joinScan(patternIndex, hasTdo, command.scan);
    current_ = command.scan.endState;
    produced = true;
    return true;
}

// Without header and trailer the scan is the statement's own buffers; with them, a joined copy.
void SvfParser::joinScan(size_t patternIndex, bool hasTdo, SvfScan& scan) {
    const bool instruction = patternIndex == kSir;
    const Pattern& header = patterns_[instruction ? kHir : kHdr];
    const Pattern& own = patterns_[patternIndex];
    const Pattern& trailer = patterns_[instruction ? kTir : kTdr];
    scan.instruction = instruction;
    scan.headerBits = header.bits;
    scan.ownBits = own.bits;
    scan.totalBits = header.bits + own.bits + trailer.bits;
    scan.endState = instruction ? endIr_ : endDr_;
    scan.check = hasTdo;
    if (header.bits == 0 && trailer.bits == 0) {
        scan.tdi = own.tdi.data();
        scan.expected = hasTdo ? tdo_.data() : nullptr;
        scan.mask = hasTdo && own.maskGiven ? own.mask.data() : nullptr;
        return;
    }
    const size_t bytes = (static_cast<size_t>(scan.totalBits) + 7) / 8;
    const uint64_t trailerAt = uint64_t{header.bits} + own.bits;
    const auto join = [&](std::vector<uint8_t>& target, const uint8_t* head, const uint8_t* body,
                          const uint8_t* tail) {
        target.assign(bytes, 0);
        if (head != nullptr) appendBits(target.data(), 0, head, header.bits);
        if (body != nullptr) appendBits(target.data(), header.bits, body, own.bits);
        if (tail != nullptr) appendBits(target.data(), trailerAt, tail, trailer.bits);
        return target.data();
    };
    scan.tdi = join(joinedTdi_, header.tdi.data(), own.tdi.data(), trailer.tdi.data());
    scan.expected = scan.mask = nullptr;
    if (!hasTdo) return;
    // Header and trailer bits are checked only where their own statement gave TDO; a part without
    // MASK counts every bit.
    scan.expected = join(joinedExpected_, header.hasTdo ? header.tdo.data() : nullptr, tdo_.data(),
                         trailer.hasTdo ? trailer.tdo.data() : nullptr);
    const auto maskOf = [](const Pattern& pattern, bool checked) {
        return checked && pattern.maskGiven ? pattern.mask.data() : nullptr;
    };
    uint8_t* mask = join(joinedMask_, maskOf(header, header.hasTdo), maskOf(own, true),
                         maskOf(trailer, trailer.hasTdo));
    if (header.hasTdo && !header.maskGiven) setBitRange(mask, 0, header.bits);
    if (!own.maskGiven) setBitRange(mask, header.bits, own.bits);
    if (trailer.hasTdo && !trailer.maskGiven) setBitRange(mask, trailerAt, trailer.bits);
    scan.mask = mask;
}

// RUNTEST [run_state] [count TCK] [min SEC [MAXIMUM max SEC]] [ENDSTATE end_state]
bool SvfParser::runTestStatement(SvfCommand& command, std::string& error) {
    const size_t count = tokens_.size();
    size_t i = 1;
    const auto word = [&](size_t at) { return at < count ? tokens_[at].word : std::string_view(); };
    SvfState state = runState_;
    if (svfStateByName(word(i), state)) {
        if (!stateWord(word(i), true, state, error)) return false;
        runState_ = state;
        ++i;
    }
    double clocks = -1, minSeconds = -1, maxSeconds = -1;
    if (same(word(i + 1), "TCK") || same(word(i + 1), "SCK")) {
        if (same(word(i + 1), "SCK")) {
            error = "RUNTEST in SCK cycles is not supported: the cable clocks only TCK";
            return false;
        }
        if (!parseReal(word(i), clocks) || clocks > double(kMaxSvfRunClocks)) {
            error = "bad TCK count " + quoted(word(i)) + " (at most 4294967295)";
            return false;
        }
        i += 2;
    }
    if (same(word(i + 1), "SEC")) {
        if (!parseReal(word(i), minSeconds) || minSeconds > kMaxSvfWaitSeconds) {
            error = "bad minimum time " + quoted(word(i)) + " (seconds, at most 86400)";
            return false;
        }
        i += 2;
    }
    if (same(word(i), "MAXIMUM")) {
        if (!parseReal(word(i + 1), maxSeconds) || !same(word(i + 2), "SEC")) {
            error = "MAXIMUM takes 'time SEC'";
            return false;
        }
        i += 3;  // accepted; the cable gives no upper bound on the time
    }
    if (clocks < 0 && minSeconds < 0) {
        error = "RUNTEST needs a TCK count or a minimum time in SEC";
        return false;
    }
    SvfState end = runState_;  // no ENDSTATE: the test ends in its run state
    if (same(word(i), "ENDSTATE")) {
        if (!stateWord(word(i + 1), true, end, error)) return false;
        i += 2;
    }
    if (i != count) {
        error = "unexpected " + quoted(word(i).empty() ? "(" : word(i)) + " in RUNTEST";
        return false;
    }
    command.kind = SvfCommand::Kind::kRunTest;
    command.runTest.runState = runState_;
    command.runTest.clocks = clocks < 0 ? 0 : static_cast<uint32_t>(std::ceil(clocks));
    command.runTest.minSeconds = minSeconds < 0 ? 0 : minSeconds;
    command.runTest.endState = end;
    current_ = end;
    return true;
}

// STATE s: the default path to a stable state. STATE s1 ... sn: an explicit path, each state one
// TCK after the one before (RESET is reached from anywhere), ending in a stable state.
bool SvfParser::stateStatement(SvfCommand& command, std::string& error) {
    if (tokens_.size() < 2) {
        error = "STATE needs at least one state";
        return false;
    }
    const bool explicitPath = tokens_.size() > 2;
    SvfState previous = current_;
    for (size_t i = 1; i < tokens_.size(); ++i) {
        SvfState state = SvfState::kReset;
        const bool last = i + 1 == tokens_.size();
        if (!stateWord(tokens_[i].word, last, state, error)) return false;
        const uint8_t* next = kNextState[static_cast<size_t>(previous)];
        if (explicitPath && state != SvfState::kReset && next[0] != static_cast<uint8_t>(state) &&
            next[1] != static_cast<uint8_t>(state)) {
            error = std::string(svfStateName(state)) + " cannot follow " + svfStateName(previous) +
                    " in one TCK";
            return false;
        }
        command.path.push_back(state);
        previous = state;
    }
    command.kind = SvfCommand::Kind::kState;
    current_ = previous;
    return true;
}

}  // namespace csesvf
