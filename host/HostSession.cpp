// SPDX-License-Identifier: Apache-2.0
#include "host/HostSession.h"

#include <unistd.h>

#include "host/InterruptWatch.h"
#include "koraven-cse-plugin/CsePlugin.h"

namespace csehost {

using csesession::ErrorKind;
using csesession::SessionError;

HostSession::HostSession(ResultWriter& writer) : writer_(writer) {}

HostSession::~HostSession() {
    (void)finish();
}

Outcome HostSession::failed(const std::string& what) {
    return failed(what, session_ ? session_->takePluginErrors() : std::vector<std::string>{});
}

Outcome HostSession::failed(const std::string& what, const std::vector<std::string>& pluginErrors) {
    std::fprintf(stderr, "cse-host: %s%s\n", origin_.c_str(), what.c_str());
    std::string reason = origin_ + what;
    // With -v the library's lines have been shown as they came.
    for (const std::string& line : pluginErrors) {
        if (verbosity_ == 0) std::fprintf(stderr, "cse-host:   %s\n", line.c_str());
        reason += "; " + line;
    }
    writer_.error(reason);
    return Outcome::kFailed;
}

Outcome HostSession::usage(const std::string& what) {
    std::fprintf(stderr, "cse-host: %s%s\n", origin_.c_str(), what.c_str());
    writer_.error(origin_ + what);
    return Outcome::kUsage;
}

Outcome HostSession::reported(const SessionError& error, const std::string& doing) {
    if (progressLine_) std::fputc('\n', stderr);
    progressLine_ = false;
    const std::string what = doing.empty() ? error.headline() : doing + ": " + error.headline();
    if (error.kind() == ErrorKind::kUsage) return usage(what);
    return failed(what, error.pluginErrors());
}

Outcome HostSession::begin(const HostOptions& options) {
    options_ = &options;
    verbosity_ = options.verbosity;
    csesession::SessionOptions settings;
    settings.libraryPath = options.libraryPath;
    settings.useFrontEnd = options.useFrontEnd;
    settings.node = options.node;
    settings.port = static_cast<uint16_t>(std::stoul(options.port));
    settings.timeoutSeconds = options.timeoutSeconds;
    settings.packetLength = options.packetLength;
    settings.hostPort = options.hostPort;
    settings.shifts = options.shifts;
    settings.simPort = options.simPort;
    settings.simChain = options.simChainPath;
    settings.simBoardFaults = options.boardFaults;
    settings.simPcapPath = options.simPcapPath;
    settings.irLengths = options.irLengths;
    settings.irLengthsName = "--irlen";
    settings.tolerateChainFaults = options.command.kind == CommandKind::kDiagnose;
    settings.verbosity = options.verbosity;
    settings.dump = options.dump;
    settings.log = [](int, const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    // Long scans and clock runs show where they are when someone watches; a signal stops them.
    if (isatty(STDERR_FILENO) == 1) {
        settings.progress = [this](uint64_t done, uint64_t total) {
            std::fprintf(stderr, "\rcse-host: %llu of %llu bits%s",
                         static_cast<unsigned long long>(done),
                         static_cast<unsigned long long>(total), done == total ? "\n" : "");
            std::fflush(stderr);
            progressLine_ = done != total;
            return InterruptWatch::received() == 0;
        };
    }
    if (!options.quiet) {
        settings.emulatorStarted = [&options](const std::string& node, uint16_t port) {
            std::fprintf(stderr, "cse-host: embedded quorbit-sim on %s:%u with %s\n", node.c_str(),
                         static_cast<unsigned>(port),
                         options.simChainPath.empty()
                             ? "the demo chain"
                             : ("the chain of " + options.simChainPath).c_str());
        };
    }
    try {
        session_ = std::make_unique<csesession::CableSession>(settings);
    } catch (const SessionError& error) {
        return reported(error);
    }
    plugin_ = &session_->plugin();
    calls_.setReport([this](const csesession::CallRepetition& repetition) {
        if (progressLine_) std::fputc('\n', stderr);
        progressLine_ = false;
        std::fprintf(stderr, "cse-host: %s\n", repetition.headline.c_str());
    });
    scanned_ = session_->chainScanned();
    deviceCount_ = static_cast<uint32_t>(session_->devices().size());
    if (!scanned_) scanProblem_ = session_->scanProblem();
    return Outcome::kSuccess;
}

std::string HostSession::callLabel(const HostCommand& command) {
    return "'" + command.text + "'" + (command.origin.empty() ? "" : " (" + command.origin + ")");
}

bool HostSession::resetTap() {
    try {
        session_->resetTap();
        return true;
    } catch (const SessionError&) {
        return false;
    }
}

Outcome HostSession::finish() {
    if (!session_) return Outcome::kSuccess;
    origin_.clear();
    Outcome outcome = Outcome::kSuccess;
    try {
        session_->close();
    } catch (const SessionError& error) {
        outcome = failed(error.headline() + (resultsShown_ ? " (the results above stand)" : ""),
                         error.pluginErrors());
    }
    session_.reset();
    plugin_ = nullptr;
    return outcome;
}

Outcome HostSession::execute(const HostCommand& command) {
    (void)session_->takePluginErrors();
    origin_ = command.origin.empty() ? "" : command.origin + ": ";
    Outcome outcome = Outcome::kUsage;
    if (queue_ && command.kind != CommandKind::kRunQueue) return enqueue(command);
    switch (command.kind) {
        case CommandKind::kScan:
            outcome = scan(command);
            break;
        case CommandKind::kIdcode:
            outcome = readIdcode(command);
            break;
        case CommandKind::kIrScan:
        case CommandKind::kDrScan:
            outcome = deviceScan(command);
            break;
        case CommandKind::kIrScanChain:
        case CommandKind::kDrScanChain:
            outcome = chainScan(command);
            break;
        case CommandKind::kState:
            outcome = moveTap(command);
            break;
        case CommandKind::kDiagnose:
            outcome = diagnose(*options_);
            resultsShown_ = true;
            break;
        case CommandKind::kSvf:
            outcome = playSvfCommand(command);
            resultsShown_ = true;
            break;
        case CommandKind::kServe:
            outcome = serve(command);
            break;
        case CommandKind::kQueue:
            queue_ = std::make_unique<csesession::ScanQueue>();
            queued_.clear();
            return Outcome::kSuccess;
        case CommandKind::kRunQueue:
            outcome = runQueue();
            break;
        case CommandKind::kRun:  // main expands a script into its commands
            return usage("'" + command.text + "' cannot run here");
    }
    if (outcome == Outcome::kSuccess) resultsShown_ = true;
    return outcome;
}

}  // namespace csehost
