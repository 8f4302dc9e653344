// SPDX-License-Identifier: Apache-2.0
// cse-host's svf command: the file is checked before the session, then read, parsed and played
// in it statement by statement; mismatches and progress go to stderr, the summary to the results.
#include "host/HostSvf.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "host/HostSession.h"
#include "host/InterruptWatch.h"
#include "svf/SvfPlayback.h"

namespace csehost {
namespace {

// The progress line on a terminal: bytes done of the file, and the rate.
class ProgressLine {
  public:
    explicit ProgressLine(std::string name) : name_(std::move(name)) {}

    void show(uint64_t done, uint64_t total) {
        const Clock::time_point now = Clock::now();
        const bool final = done == total || total == 0;
        if (now - lastShown_ < std::chrono::milliseconds(250) && !(final && shown_)) return;
        lastShown_ = now;
        shown_ = true;
        const double seconds = std::chrono::duration<double>(now - start_).count();
        const double rate = seconds > 0 ? static_cast<double>(done) / 1e6 / seconds : 0.0;
        if (total == 0) {
            std::fprintf(stderr, "\r\033[Kcse-host: %s: %.1f MB, %.2f MB/s", name_.c_str(),
                         static_cast<double>(done) / 1e6, rate);
        } else {
            std::fprintf(stderr, "\r\033[Kcse-host: %s: %.1f of %.1f MB (%.0f%%), %.2f MB/s",
                         name_.c_str(), static_cast<double>(done) / 1e6,
                         static_cast<double>(total) / 1e6,
                         100.0 * static_cast<double>(done) / static_cast<double>(total), rate);
        }
        std::fflush(stderr);
    }

    void clear() {
        if (shown_) std::fputs("\r\033[K", stderr);
    }

    void end() {
        if (shown_) std::fputs("\n", stderr);
    }

  private:
    using Clock = std::chrono::steady_clock;
    std::string name_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point lastShown_ = start_;
    bool shown_ = false;
};

}  // namespace

bool checkSvfInput(const HostCommand& command, std::string& error) {
    return csesvf::checkSvfFile(command.file, error);
}

Outcome HostSession::playSvfCommand(const HostCommand& command) {
    const std::string name = command.file == "-" ? "<stdin>" : command.file;
    ProgressLine progress(name);
    csesvf::SvfOptions options;
    options.fileName = name;
    options.keepGoing = command.keepGoing;
    options.rawShifts = session_->mergedShifts();
    options.irPathBits = session_->irPathBits();
    options.checkEach = options_->checkEach;
    options.retries = options_->retries;
    options.onRepeat = [&progress](const csesvf::Repetition& repetition) {
        progress.clear();
        std::fprintf(stderr, "cse-host: %s\n", repetition.headline.c_str());
    };
    if (::isatty(STDERR_FILENO) != 0)
        options.progress = [&progress](uint64_t done, uint64_t total) {
            progress.show(done, total);
        };
    options.stopRequested = [] { return InterruptWatch::received() != 0; };
    options.onMismatch = [&progress](const csesvf::Mismatch& mismatch) {
        progress.clear();
        std::fprintf(stderr,
                     "cse-host: %s\ncse-host:   expected %s\ncse-host:   read     %s\n"
                     "cse-host:   mask     %s\n",
                     mismatch.headline.c_str(), mismatch.expected.c_str(), mismatch.read.c_str(),
                     mismatch.mask.c_str());
        // Queued statements after it went to the cable before its TDO was back.
        if (!mismatch.playedAfterText.empty())
            std::fprintf(stderr, "cse-host:   %s\n", mismatch.playedAfterText.c_str());
    };
    const csesvf::SvfResult played = csesvf::playSvfFile(*plugin_, command.file, options);
    progress.end();
    if (played.outcome == csesvf::SvfResult::Outcome::kFailed) session_->noteFailedCall();
    using Played = csesvf::SvfResult::Outcome;
    switch (played.outcome) {
        case Played::kFailed:
            return failed(played.failure);
        case Played::kUnreadable:
            return usage(played.failure);
        case Played::kMalformed:
            // What was played cannot be taken back: say how far the file got.
            return usage(played.failure +
                         (played.statements == 0
                              ? std::string()
                              : " (the " + std::to_string(played.statements) +
                                    (played.statements == 1 ? " statement before it was"
                                                            : " statements before it were") +
                                    " played: nothing can be un-played)"));
        case Played::kPassed:
        case Played::kMismatch:
        case Played::kStopped:
            break;
    }
    const std::string summary = played.summary(name);
    writer_.svfResult(command.text, command.origin, summary, played);
    if (played.mismatchCount != 0) writer_.error(summary);
    return played.outcome == Played::kPassed ? Outcome::kSuccess : Outcome::kFailed;
}

}  // namespace csehost
