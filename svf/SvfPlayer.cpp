// SPDX-License-Identifier: Apache-2.0
// Plays SVF as it is parsed, through a plug-in's chain-level interface only: one chain shift per
// SIR/SDR ending in its end state, RUNTEST as navigations with extra clocks and a wait, STATE as
// navigations. Works with any plug-in of the interface.
#include <algorithm>
#include <cmath>

#include "koraven-cse-plugin/CsePlugin.h"
#include "svf/SvfBits.h"
#include "svf/SvfIrPathCheck.h"
#include "svf/SvfJoinedShift.h"
#include "svf/SvfParser.h"
#include "svf/SvfPlayback.h"
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
        while (!stopped()) {
            if (!parser.next(command, error) || !fitsIrPath(command)) break;
            // Every file starts from Test-Logic-Reset, as the parser assumes; a file refused at
            // its first statement touches nothing.
            if (!reset && !(reset = resetBeforeTheFile())) break;
            if (!execute(command)) break;
            ++result_.statements;
            if (options_.progress && command.endOffset - shownAt_ >= kProgressStepBytes) {
                shownAt_ = command.endOffset;
                options_.progress(command.endOffset, totalBytes_);
            }
        }
        result_.bytesRead = parser.offset();
        // Clocks kept for a scan that did not come still go out, whatever ended the file.
        if (result_.outcome == SvfResult::Outcome::kPassed) (void)flushJoined();
        if (result_.outcome == SvfResult::Outcome::kPassed && !stopped_) {
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
        if (!cseFailed(plugin_.initializeTAP())) return true;
        result_.outcome = SvfResult::Outcome::kFailed;
        result_.failure = options_.fileName + ": the TAP reset before the file failed";
        return false;
    }

    std::string where(const SvfCommand& command) const {
        return options_.fileName + ":" + std::to_string(command.line);
    }

    bool fitsIrPath(const SvfCommand& command) {
        if (command.kind != SvfCommand::Kind::kScan) return true;
        const std::string mismatch = irPathMismatch(command.scan, options_.irPathBits);
        if (mismatch.empty()) return true;
        result_.outcome = SvfResult::Outcome::kMalformed;
        result_.failure = where(command) + ": " + mismatch;
        return false;
    }

    bool fail(const SvfCommand& command, const std::string& what) {
        result_.outcome = SvfResult::Outcome::kFailed;
        result_.failure = where(command) + ": " + what;
        return false;
    }

    bool execute(const SvfCommand& command) {
        if (command.kind == SvfCommand::Kind::kRunTest && joinsRunTest(command.runTest)) {
            const SvfRunTest& run = command.runTest;
            const CseJtagTapState from = joined_.stateAfter(plugin_.getTAPState());
            if (joined_.empty()) joinedLine_ = command.line;
            joined_.addRunTest(from, tapState(run.runState), run.clocks, tapState(run.endState));
            return true;
        }
        if (command.kind == SvfCommand::Kind::kScan && !joined_.empty() && joinsScan(command.scan))
            return scanJoined(command);
        if (!flushJoined()) return false;
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
        ++result_.scans;
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
        return checkTdo(command);
    }

    // The TDO of the scan, in read_, against what the statement expects.
    bool checkTdo(const SvfCommand& command) {
        const SvfScan& scan = command.scan;
        if (!scan.check) return true;
        ++result_.checks;
        const uint32_t bit =
            firstMismatchBit(read_.data(), scan.expected, scan.mask, scan.totalBits);
        if (bit == scan.totalBits) return true;
        ++result_.mismatchCount;
        Mismatch mismatch =
            describeMismatch(options_.fileName, command.line, scan, read_.data(), bit);
        if (options_.onMismatch) options_.onMismatch(mismatch);
        if (result_.mismatches.size() < options_.keepMismatches)
            result_.mismatches.push_back(std::move(mismatch));
        return options_.keepGoing;
    }

    bool navigate(SvfState state, uint64_t clocks, uint64_t waitMicroseconds) {
        const CseJtagTapState goal = tapState(state);
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

    bool runTest(const SvfCommand& command) {
        const SvfRunTest& run = command.runTest;
        const auto wait = static_cast<uint64_t>(std::ceil(run.minSeconds * 1e6));
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

    // ---- RUNTEST clocks joined to the next scan (SvfOptions::joinRunTests) ----

    bool joinsRunTest(const SvfRunTest& run) {
        const double wait = std::ceil(run.minSeconds * 1e6);
        if (!options_.joinRunTests || wait != 0 || run.runState == SvfState::kReset ||
            run.clocks > kMaxJoinedClocks || joined_.bits() + run.clocks + 16 > kMaxJoinedBits) {
            return false;
        }
        // Asked once: a plug-in without the command is played without joining.
        if (!rawShiftKnown_) {
            rawShiftKnown_ = true;
            const uint8_t noClocks[4] = {};
            rawShiftWorks_ =
                !cseFailed(plugin_.sendCommand("raw-shift", noClocks, 4, nullptr, 0, 0, 0));
        }
        return rawShiftWorks_;
    }

    bool joinsScan(const SvfScan& scan) const {
        const CseJtagTapState from = joined_.stateAfter(plugin_.getTAPState());
        return scan.totalBits != 0 &&
               joined_.bits() + JoinedShift::scanBits(from, scan.instruction, scan.totalBits,
                                                      tapState(scan.endState)) <=
                   kMaxJoinedBits;
    }

    bool sendJoined(uint8_t* tdo, uint32_t tdoBytes) {
        const std::vector<uint8_t> input = joined_.takeCommandInput();
        return !cseFailed(plugin_.sendCommand("raw-shift", input.data(),
                                              static_cast<uint32_t>(input.size()), tdo, tdoBytes,
                                              0, 0));
    }

    // The kept clocks alone, before a statement they cannot go with.
    bool flushJoined() {
        if (joined_.empty()) return true;
        if (sendJoined(nullptr, 0)) return true;
        result_.outcome = SvfResult::Outcome::kFailed;
        result_.failure = options_.fileName + ":" + std::to_string(joinedLine_) +
                          ": RUNTEST: the raw shift of its clocks failed";
        return false;
    }

    bool scanJoined(const SvfCommand& command) {
        const SvfScan& scan = command.scan;
        ++result_.scans;
        const CseJtagTapState from = joined_.stateAfter(plugin_.getTAPState());
        const uint32_t dataAt = joined_.addScan(from, scan.instruction, scan.tdi, scan.totalBits,
                                                tapState(scan.endState));
        const uint32_t bits = joined_.bits();
        std::vector<uint8_t>& tdo = joinedTdo_;
        tdo.assign((static_cast<size_t>(bits) + 7) / 8, 0);
        if (!sendJoined(scan.check ? tdo.data() : nullptr, static_cast<uint32_t>(tdo.size()))) {
            return fail(command, std::string(scan.instruction ? "SIR " : "SDR ") +
                                     std::to_string(scan.ownBits) +
                                     ": the raw shift with the RUNTEST of line " +
                                     std::to_string(joinedLine_) + " before it failed");
        }
        if (!scan.check) return true;
        read_.assign((static_cast<size_t>(scan.totalBits) + 7) / 8, 0);
        for (uint32_t k = 0; k < scan.totalBits; ++k) {
            const uint32_t at = dataAt + k;
            if (((tdo[at / 8] >> (at % 8)) & 1u) != 0)
                read_[k / 8] = static_cast<uint8_t>(read_[k / 8] | (1u << (k % 8)));
        }
        return checkTdo(command);
    }

    ICsePlugin& plugin_;
    const SvfOptions& options_;
    uint64_t totalBytes_;
    SvfResult result_;
    std::vector<uint8_t> read_;
    JoinedShift joined_;
    uint64_t joinedLine_ = 0;  // the first RUNTEST kept in joined_
    std::vector<uint8_t> joinedTdo_;
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
