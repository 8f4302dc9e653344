#include "svf/SvfPlayer.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "svf/SvfBits.h"
#include "svf/SvfReport.h"
#include "koraven-cse-plugin/CsePlugin.h"

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

class Player {
  public:
    Player(ICsePlugin& plugin, const SvfPlayOptions& options, FILE* reports)
        : plugin_(plugin), options_(options), reports_(reports) {}

    SvfPlayResult play(const std::vector<SvfCommand>& commands) {
        // Every file starts from Test-Logic-Reset, as the parser assumes.
        if (cseFailed(plugin_.initializeTAP())) {
            result_.outcome = SvfPlayResult::Outcome::kFailed;
            result_.failure = options_.fileName + ": the TAP reset before the file failed";
            return result_;
        }
        for (const SvfCommand& command : commands) {
            if (options_.stopRequested != nullptr && options_.stopRequested()) break;
            if (!execute(command)) break;
            ++result_.commands;
            if (options_.progress) showProgress(command.endOffset, false);
        }
        if (options_.progress) showProgress(options_.fileBytes, true);
        if (result_.outcome == SvfPlayResult::Outcome::kPassed && result_.mismatches > 0)
            result_.outcome = SvfPlayResult::Outcome::kMismatch;
        return result_;
    }

  private:
    std::string where(const SvfCommand& command) const {
        return options_.fileName + ":" + std::to_string(command.line);
    }

    bool fail(const SvfCommand& command, const std::string& what) {
        result_.outcome = SvfPlayResult::Outcome::kFailed;
        result_.failure = where(command) + ": " + what;
        return false;
    }

    bool execute(const SvfCommand& command) {
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
        read_.assign(scan.tdi.size(), 0);
        uint8_t* tdo = scan.check ? read_.data() : nullptr;
        const auto result =
            scan.instruction ? plugin_.shiftChainIR(scan.tdi.data(), tdo, nullptr, nullptr,
                                                    scan.totalBits, tapState(scan.endState), 0, 0)
                             : plugin_.shiftChainDR(scan.tdi.data(), tdo, nullptr, nullptr,
                                                    scan.totalBits, tapState(scan.endState), 0, 0);
        const char* keyword = scan.instruction ? "SIR" : "SDR";
        if (cseFailed(result)) {
            return fail(command, std::string(keyword) + " " + std::to_string(scan.ownBits) +
                                     ": the " + (scan.instruction ? "IR" : "DR") + " shift failed");
        }
        if (!scan.check) return true;
        ++result_.checks;
        const uint32_t bit =
            firstMismatchBit(read_.data(), scan.expected.data(), scan.mask.data(), scan.totalBits);
        if (bit == scan.totalBits) return true;
        ++result_.mismatches;
        if (options_.progress) std::fputs("\r\033[K", reports_);
        for (const std::string& line : describeMismatch(where(command), scan, read_.data(), bit))
            std::fprintf(reports_, "cse-host: %s\n", line.c_str());
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
        } else if (run.clocks == 0 && wait == 0 &&
                   plugin_.getTAPState() == tapState(run.runState)) {
            // Nothing to clock and nothing to wait for: the TAP stays where it is.
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

    void showProgress(size_t doneBytes, bool final) {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point now = Clock::now();
        if (!final && now - lastShown_ < std::chrono::milliseconds(250)) return;
        if (final && !shown_) return;
        lastShown_ = now;
        shown_ = true;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        const double total = static_cast<double>(std::max<size_t>(options_.fileBytes, 1));
        std::fprintf(
            reports_, "\r\033[Kcse-host: %s: %.1f of %.1f MB (%.0f%%), %llu scans, %.2f MB/s%s",
            options_.fileName.c_str(), static_cast<double>(doneBytes) / 1e6, total / 1e6,
            100.0 * static_cast<double>(doneBytes) / total,
            static_cast<unsigned long long>(result_.scans),
            seconds > 0 ? static_cast<double>(doneBytes) / 1e6 / seconds : 0.0, final ? "\n" : "");
        std::fflush(reports_);
    }

    ICsePlugin& plugin_;
    const SvfPlayOptions& options_;
    FILE* reports_;
    SvfPlayResult result_;
    std::vector<uint8_t> read_;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point lastShown_ = start_;
    bool shown_ = false;
};

}  // namespace

SvfPlayResult playSvf(ICsePlugin& plugin, const std::vector<SvfCommand>& commands,
                      const SvfPlayOptions& options, FILE* reports) {
    return Player(plugin, options, reports).play(commands);
}

}  // namespace csesvf
