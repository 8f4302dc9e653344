// SPDX-License-Identifier: Apache-2.0
// Plays SVF as it is parsed, through a plug-in's chain-level interface only: one chain shift per
// SIR/SDR ending in its end state, RUNTEST as navigations with extra clocks and a wait, STATE as
// navigations. Works with any plug-in of the interface.
#include <algorithm>
#include <cmath>

#include "koraven-cse-plugin/CsePlugin.h"
#include "koraven-cse-plugin/CseTapWalk.h"
#include "svf/SvfBits.h"
#include "svf/SvfIrPathCheck.h"
#include "svf/SvfParser.h"
#include "svf/SvfPlayback.h"
#include "svf/SvfQueue.h"
#include "svf/SvfReport.h"

namespace csesvf {

using CsePluginInterface::cseFailed;
using CsePluginInterface::CseJtagTapState;
using CsePluginInterface::ICsePlugin;

static_assert(static_cast<int>(SvfState::kDrPause) == CsePluginInterface::CSEJTAG_PAUSE_DR &&
                  static_cast<int>(SvfState::kIrUpdate) == CsePluginInterface::CSEJTAG_UPDATE_IR,
              "SVF states use the plug-in's state codes");

namespace {

// The plug-in sends no extra clocks above one raw shift's worth, so longer runs are split.
constexpr uint64_t kMaxExtraClocks = 122816;
constexpr uint64_t kMaxWaitPerCall = UINT32_MAX;  // microseconds

CseJtagTapState tapState(SvfState state) {
    return static_cast<CseJtagTapState>(state);
}

// Progress is reported after this many bytes of text at the most often.
constexpr uint64_t kProgressStepBytes = uint64_t{1} << 16;

class Player {
  public:
    Player(ICsePlugin& plugin, const SvfOptions& options, uint64_t totalBytes)
        : plugin_(plugin), options_(options), totalBytes_(totalBytes) {}

    SvfResult play(std::istream& input) {
        SvfInput text(input, kMaxSvfBytes);
        SvfParser parser(text);
        SvfCommand command;
        SvfError error;
        bool reset = false;
        bool going = true;
        while (!stopped()) {
            if (!parser.next(command, error) || !fitsIrPath(command)) break;
            // Every file starts from Test-Logic-Reset, as the parser assumes; a file refused at
            // its first statement touches nothing.
            if (!reset && !(reset = resetBeforeTheFile())) {
                going = false;
                break;
            }
            if (!execute(command)) {
                going = false;
                break;
            }
            if (options_.progress && command.endOffset - shownAt_ >= kProgressStepBytes) {
                shownAt_ = command.endOffset;
                options_.progress(command.endOffset, totalBytes_);
            }
        }
        result_.bytesRead = parser.offset();
        // What is queued still goes out and is checked, whatever ended the file.
        if (going) going = sendQueue();
        if (going && result_.outcome == SvfResult::Outcome::kPassed && !stopped_) {
            if (!error.message.empty()) {
                result_.outcome = SvfResult::Outcome::kMalformed;
                result_.failure =
                    options_.fileName + ":" + std::to_string(error.line) + ": " + error.message;
            } else if (parser.inputFailure() == SvfInput::Failure::kTooLarge) {
                result_.outcome = SvfResult::Outcome::kUnreadable;
                result_.failure = "the SVF file " + options_.fileName + " is larger than 1 GiB";
            } else if (parser.inputFailure() == SvfInput::Failure::kRead) {
                result_.outcome = SvfResult::Outcome::kUnreadable;
                result_.failure = "cannot read the SVF file " + options_.fileName;
            } else if (!reset) {
                result_.outcome = SvfResult::Outcome::kMalformed;
                result_.failure = noStatementFailure(options_.fileName);
            }
        }
        if (options_.progress) options_.progress(result_.bytesRead, totalBytes_);
        if (stopped_ && result_.outcome == SvfResult::Outcome::kPassed)
            result_.outcome = SvfResult::Outcome::kStopped;
        if (result_.outcome == SvfResult::Outcome::kPassed && result_.mismatchCount > 0)
            result_.outcome = SvfResult::Outcome::kMismatch;
        return result_;
    }

  private:
    bool stopped() {
        stopped_ = stopped_ || (options_.stopRequested && options_.stopRequested());
        return stopped_;
    }

    bool resetBeforeTheFile() {
        for (uint32_t repeated = 0;; ++repeated) {
            if (!cseFailed(plugin_.initializeTAP())) return true;
            result_.outcome = SvfResult::Outcome::kFailed;
            result_.failure = options_.fileName + ": the TAP reset before the file failed";
            if (repeated == options_.retries) return false;
            announce(0, repeated + 1, nullptr);
        }
    }

    std::string where(uint64_t line) const {
        return options_.fileName + ":" + std::to_string(line);
    }

    bool fitsIrPath(const SvfCommand& command) {
        if (command.kind != SvfCommand::Kind::kScan) return true;
        const std::string mismatch = irPathMismatch(command.scan, options_.irPathBits);
        if (mismatch.empty()) return true;
        result_.outcome = SvfResult::Outcome::kMalformed;
        result_.failure = where(command.line) + ": " + mismatch;
        return false;
    }

    bool fail(const SvfCommand& command, const std::string& what) {
        result_.outcome = SvfResult::Outcome::kFailed;
        result_.failure = where(command.line) + ": " + what;
        return false;
    }

    // ---- one statement at a time, played again after a failed call (SvfOptions::retries) ----

    bool execute(const SvfCommand& command) {
        if (options_.rawShifts) {
            const uint32_t bits = queuedBits(command);
            if (bits <= kMaxQueueBits && rawShiftsWork()) return enqueue(command, bits);
        }
        if (!sendQueue()) return false;
        const CseJtagTapState start = plugin_.getTAPState();
        if (command.kind == SvfCommand::Kind::kScan) ++result_.scans;
        for (uint32_t repeated = 0;;) {
            if ((repeated == 0 || reload(start, instruction_, command.line)) && playAlone(command))
                break;
            if (result_.outcome != SvfResult::Outcome::kFailed || repeated == options_.retries)
                return false;
            announce(command.line, ++repeated, instruction_.get());
        }
        ++result_.statements;
        noteInstruction(command);
        if (command.kind == SvfCommand::Kind::kScan && command.scan.check) afterWait_ = false;
        if (command.kind == SvfCommand::Kind::kRunTest && waitOf(command.runTest) != 0)
            afterWait_ = true;
        return true;
    }

    // Before a repetition: the failure is reported and no longer the outcome.
    void announce(uint64_t line, uint32_t attempt, const SvfInstruction* reloaded) {
        ++result_.repetitions;
        Repetition repetition;
        repetition.file = options_.fileName;
        repetition.line = line;
        repetition.attempt = attempt;
        repetition.retries = options_.retries;
        repetition.reloadLine = reloaded != nullptr ? reloaded->line : 0;
        repetition.failure = result_.failure;
        const std::string how =
            line == 0 ? "after a TAP reset"
            : reloaded != nullptr
                ? "after loading the SIR of line " + std::to_string(reloaded->line) + " again"
                : "after a TAP reset (no SIR since the last reset)";
        repetition.headline = result_.failure + "; played again (" + std::to_string(attempt) +
                              " of " + std::to_string(options_.retries) + ") " + how;
        result_.outcome = SvfResult::Outcome::kPassed;
        result_.failure.clear();
        if (options_.onRepeat) options_.onRepeat(repetition);
    }

    // The instruction in effect where a failed statement or queue started is loaded again (a
    // full IR shift, or a TAP reset), then the TAP goes back to the state it started from.
    bool reload(CseJtagTapState start, const SvfInstructionPtr& instruction, uint64_t line) {
        const bool loaded =
            instruction ? !cseFailed(plugin_.shiftChainIR(instruction->tdi.data(), nullptr, nullptr,
                                                          nullptr, instruction->bits,
                                                          tapState(instruction->endState), 0, 0))
                        : !cseFailed(plugin_.initializeTAP());
        if (loaded && (plugin_.getTAPState() == start || navigate(start, 0, 0))) return true;
        result_.outcome = SvfResult::Outcome::kFailed;
        result_.failure = where(line) + ": " +
                          (instruction ? "loading the SIR of line " +
                                             std::to_string(instruction->line) + " again failed"
                                       : std::string("the TAP reset before playing it again "
                                                     "failed"));
        return false;
    }

    // What the next repetition loads: the last SIR, or nothing after a reset. Kept only when
    // repetitions may come.
    void noteInstruction(const SvfCommand& command) {
        if (options_.retries == 0) return;
        switch (command.kind) {
            case SvfCommand::Kind::kScan:
                if (command.scan.instruction) {
                    auto saved = std::make_shared<SvfInstruction>();
                    saved->line = command.line;
                    saved->bits = command.scan.totalBits;
                    saved->tdi.assign(command.scan.tdi,
                                      command.scan.tdi + (command.scan.totalBits + 7) / 8);
                    saved->endState = command.scan.endState;
                    instruction_ = std::move(saved);
                }
                return;
            case SvfCommand::Kind::kRunTest:
                if (command.runTest.runState == SvfState::kReset ||
                    command.runTest.endState == SvfState::kReset)
                    instruction_.reset();
                return;
            case SvfCommand::Kind::kState:
                for (const SvfState state : command.path)
                    if (state == SvfState::kReset) instruction_.reset();
                return;
            case SvfCommand::Kind::kTapReset:
                instruction_.reset();
                return;
        }
    }

    bool playAlone(const SvfCommand& command) {
        switch (command.kind) {
            case SvfCommand::Kind::kScan:
                return scan(command);
            case SvfCommand::Kind::kRunTest:
                return runTest(command);
            case SvfCommand::Kind::kState:
                for (const SvfState state : command.path) {
                    // A stable state the TAP is in needs no clock.
                    if (svfStableState(state) && plugin_.getTAPState() == tapState(state)) continue;
                    if (!navigate(state, 0, 0))
                        return fail(command, "STATE: the navigation failed");
                }
                return true;
            case SvfCommand::Kind::kTapReset:
                if (cseFailed(plugin_.initializeTAP()))
                    return fail(command, "TRST ON: the TAP reset failed");
                return true;
        }
        return true;
    }

    bool scan(const SvfCommand& command) {
        const SvfScan& scan = command.scan;
        if (scan.check) read_.assign((static_cast<size_t>(scan.totalBits) + 7) / 8, 0);
        uint8_t* tdo = scan.check ? read_.data() : nullptr;
        const auto result =
            scan.instruction ? plugin_.shiftChainIR(scan.tdi, tdo, nullptr, nullptr, scan.totalBits,
                                                    tapState(scan.endState), 0, 0)
                             : plugin_.shiftChainDR(scan.tdi, tdo, nullptr, nullptr, scan.totalBits,
                                                    tapState(scan.endState), 0, 0);
        const char* keyword = scan.instruction ? "SIR" : "SDR";
        if (cseFailed(result)) {
            return fail(command, std::string(keyword) + " " + std::to_string(scan.ownBits) +
                                     ": the " + (scan.instruction ? "IR" : "DR") + " shift failed");
        }
        return !scan.check || checkTdo(command.line, scan, read_.data());
    }

    // What was read against what the statement expects; `playedAfter` statements up to line
    // `playedUpTo` went to the cable after it in the same raw shift.
    bool checkTdo(uint64_t line, const SvfScan& scan, const uint8_t* read, uint64_t playedAfter = 0,
                  uint64_t playedUpTo = 0) {
        ++result_.checks;
        const uint32_t bit = firstMismatchBit(read, scan.expected, scan.mask, scan.totalBits);
        if (bit == scan.totalBits) return true;
        ++result_.mismatchCount;
        Mismatch mismatch = describeMismatch(options_.fileName, line, scan, read, bit);
        // Said when the playback stops here: with keepGoing everything is played anyway.
        if (playedAfter != 0 && !options_.keepGoing) {
            mismatch.playedAfter = playedAfter;
            mismatch.playedUpToLine = playedUpTo;
            mismatch.playedAfterText =
                std::to_string(playedAfter) +
                (playedAfter == 1 ? " statement after it was" : " statements after it were") +
                " played, up to line " + std::to_string(playedUpTo);
        }
        if (options_.onMismatch) options_.onMismatch(mismatch);
        if (result_.mismatches.size() < options_.keepMismatches)
            result_.mismatches.push_back(std::move(mismatch));
        return options_.keepGoing;
    }

    bool navigate(SvfState state, uint64_t clocks, uint64_t waitMicroseconds) {
        return navigate(tapState(state), clocks, waitMicroseconds);
    }

    bool navigate(CseJtagTapState goal, uint64_t clocks, uint64_t waitMicroseconds) {
        uint64_t wait = std::min(waitMicroseconds, kMaxWaitPerCall);
        if (cseFailed(wait == 0 ? plugin_.navigateTAP(goal, static_cast<uint32_t>(clocks))
                                : plugin_.navigateTAP(goal, static_cast<uint32_t>(clocks),
                                                      static_cast<uint32_t>(wait)))) {
            return false;
        }
        // Waits beyond one call's 71 minutes go on in further calls, one TCK each.
        for (uint64_t left = waitMicroseconds - wait; left > 0; left -= wait) {
            wait = std::min(left, kMaxWaitPerCall);
            if (cseFailed(plugin_.navigateTAP(goal, 0, static_cast<uint32_t>(wait)))) return false;
        }
        return true;
    }

    static uint64_t waitOf(const SvfRunTest& run) {
        return static_cast<uint64_t>(std::ceil(run.minSeconds * 1e6));
    }

    bool runTest(const SvfCommand& command) {
        const SvfRunTest& run = command.runTest;
        const uint64_t wait = waitOf(run);
        if (run.runState == SvfState::kReset) {
            // Extra clocks hold TMS at 0, which would leave RESET; a TAP held there ignores them.
            if (!navigate(run.runState, 0, wait))
                return fail(command, "RUNTEST: the navigation failed");
        } else if (run.clocks == 0 && plugin_.getTAPState() == tapState(run.runState)) {
            // Nothing to clock: a navigation to the state the TAP is in would clock once in it.
            for (uint64_t left = wait; left > 0;) {
                const uint64_t chunk = std::min(left, kMaxWaitPerCall);
                if (cseFailed(plugin_.waitTime(static_cast<uint32_t>(chunk))))
                    return fail(command, "RUNTEST: the wait failed");
                left -= chunk;
            }
        } else {
            uint64_t remaining = run.clocks;
            bool last = false;
            while (!last) {
                // Navigating to the state the TAP is in clocks once in it; entering it does not.
                const uint64_t entering = plugin_.getTAPState() == tapState(run.runState) ? 1 : 0;
                const uint64_t extra =
                    std::min(remaining > entering ? remaining - entering : 0, kMaxExtraClocks);
                remaining -= std::min(remaining, extra + entering);
                last = remaining == 0;
                if (!navigate(run.runState, extra, last ? wait : 0))
                    return fail(command, "RUNTEST: the navigation failed");
            }
        }
        if (run.endState != run.runState && !navigate(run.endState, 0, 0))
            return fail(command, "RUNTEST: the navigation to the end state failed");
        return true;
    }

    // ---- statements queued into one raw shift (SvfOptions::rawShifts) ----

    // Asked once: a plug-in without the raw-shift command is played statement by statement.
    bool rawShiftsWork() {
        if (!rawShiftKnown_) {
            rawShiftKnown_ = true;
            const uint8_t noClocks[4] = {};
            rawShiftWorks_ =
                !cseFailed(plugin_.sendCommand("raw-shift", noClocks, 4, nullptr, 0, 0, 0));
        }
        return rawShiftWorks_;
    }

    // The clocks the statement adds to the queue; more than kMaxQueueBits for one that goes alone.
    uint32_t queuedBits(const SvfCommand& command) const {
        // The plug-in is asked only when nothing is queued: its state is the queue's start.
        const CseJtagTapState from = queue_.empty() ? plugin_.getTAPState() : queue_.endState();
        constexpr uint32_t kAlone = kMaxQueueBits + 1;
        switch (command.kind) {
            case SvfCommand::Kind::kScan: {
                const SvfScan& scan = command.scan;
                if (scan.totalBits == 0 || scan.totalBits > kMaxQueueBits) return kAlone;
                return SvfQueue::Stream::scanBits(from,
                                                  scan.instruction
                                                      ? SvfQueue::Stream::Register::kIr
                                                      : SvfQueue::Stream::Register::kDr,
                                                  scan.totalBits, tapState(scan.endState));
            }
            case SvfCommand::Kind::kRunTest: {
                const SvfRunTest& run = command.runTest;
                if (waitOf(run) != 0 || run.runState == SvfState::kReset ||
                    run.clocks > kMaxQueueBits)
                    return kAlone;
                return SvfQueue::runTestBits(from, run);
            }
            case SvfCommand::Kind::kState: {
                uint64_t bits = 0;
                CseJtagTapState at = from;
                for (const SvfState state : command.path) {
                    if (svfStableState(state) && at == tapState(state)) continue;
                    bits += CsePluginInterface::cseWalkTms(at, tapState(state)).length;
                    at = tapState(state);
                }
                return bits > kMaxQueueBits ? kAlone : static_cast<uint32_t>(bits);
            }
            case SvfCommand::Kind::kTapReset:
                return kAlone;
        }
        return kAlone;
    }

    bool enqueue(const SvfCommand& command, uint32_t bits) {
        if (bits > queue_.room() && !sendQueue()) return false;
        if (queue_.empty()) queue_.begin(plugin_.getTAPState(), instruction_);
        switch (command.kind) {
            case SvfCommand::Kind::kScan:
                ++result_.scans;
                queue_.addScan(command.line, command.scan);
                break;
            case SvfCommand::Kind::kRunTest:
                queue_.addStatement(command.line);
                queue_.addRunTest(command.runTest);
                break;
            case SvfCommand::Kind::kState:
                queue_.addStatement(command.line);
                for (const SvfState state : command.path) {
                    if (svfStableState(state) && queue_.stream().state() == tapState(state))
                        continue;
                    queue_.stream().walk(tapState(state));
                }
                break;
            case SvfCommand::Kind::kTapReset:
                break;
        }
        noteInstruction(command);
        // A checked scan ends the queue when nothing may be played before its check.
        if (command.kind == SvfCommand::Kind::kScan && command.scan.check &&
            (options_.checkEach || afterWait_)) {
            afterWait_ = false;
            return sendQueue();
        }
        return true;
    }

    std::string queueFailure() const {
        const std::vector<uint64_t>& lines = queue_.lines();
        if (lines.size() == 1) return where(lines[0]) + ": the raw shift of its clocks failed";
        return where(lines[0]) + ": the raw shift of the " + std::to_string(lines.size()) +
               " statements of lines " + std::to_string(lines[0]) + " to " +
               std::to_string(lines.back()) + " failed";
    }

    // What is queued, as one raw shift (played again from its start after a failed call), then
    // its checks in order.
    bool sendQueue() {
        if (queue_.empty()) return true;
        const std::vector<uint8_t> input = queue_.stream().commandInput();
        const bool wantsTdo = !queue_.checks().empty();
        queueTdo_.assign(wantsTdo ? queue_.stream().tdoBytes() : 0, 0);
        for (uint32_t repeated = 0;;) {
            if ((repeated == 0 ||
                 reload(queue_.startState(), queue_.startInstruction(), queue_.lines()[0])) &&
                !cseFailed(plugin_.sendCommand("raw-shift", input.data(),
                                               static_cast<uint32_t>(input.size()),
                                               wantsTdo ? queueTdo_.data() : nullptr,
                                               static_cast<uint32_t>(queueTdo_.size()), 0, 0))) {
                break;
            }
            if (result_.outcome != SvfResult::Outcome::kFailed) {
                result_.outcome = SvfResult::Outcome::kFailed;
                result_.failure = queueFailure();
            }
            if (repeated == options_.retries) {
                queue_.clear();
                return false;
            }
            announce(queue_.lines()[0], ++repeated, queue_.startInstruction().get());
        }
        result_.statements += queue_.lines().size();
        const bool checked = checkQueue();
        queue_.clear();
        return checked;
    }

    bool checkQueue() {
        const std::vector<uint64_t>& lines = queue_.lines();
        for (const SvfQueuedCheck& check : queue_.checks()) {
            const SvfScan scan = queue_.scanOf(check);
            read_.assign((static_cast<size_t>(scan.totalBits) + 7) / 8, 0);
            for (uint32_t k = 0; k < scan.totalBits; ++k) {
                const uint32_t at = check.dataAt + k;
                if (((queueTdo_[at / 8] >> (at % 8)) & 1u) != 0)
                    read_[k / 8] = static_cast<uint8_t>(read_[k / 8] | (1u << (k % 8)));
            }
            if (!checkTdo(check.line, scan, read_.data(), lines.size() - 1 - check.statement,
                          lines.back())) {
                return false;
            }
        }
        return true;
    }

    ICsePlugin& plugin_;
    const SvfOptions& options_;
    uint64_t totalBytes_;
    SvfResult result_;
    std::vector<uint8_t> read_;
    SvfQueue queue_;
    std::vector<uint8_t> queueTdo_;
    SvfInstructionPtr instruction_;  // loaded again before a repetition; null: after a reset
    bool afterWait_ = false;         // a RUNTEST with a wait came, and no checked scan since
    bool rawShiftKnown_ = false;
    bool rawShiftWorks_ = false;
    uint64_t shownAt_ = 0;
    bool stopped_ = false;
};

}  // namespace

SvfResult playSvfText(ICsePlugin& plugin, std::istream& input, const SvfOptions& options,
                      uint64_t totalBytes) {
    return Player(plugin, options, totalBytes).play(input);
}

}  // namespace csesvf
