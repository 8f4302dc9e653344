// SPDX-License-Identifier: Apache-2.0
// cse-host's side of one session: the commands of a run, each turned into calls of the session
// library (session/CableSession.h) and its results and errors into cse-host's output.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "host/HostArguments.h"
#include "host/ResultWriter.h"
#include "session/CableSession.h"
#include "session/CallRetries.h"
#include "session/ScanQueue.h"

namespace CsePluginInterface {
class ICsePlugin;
}

namespace csehost {

// Doubles as cse-host's exit status.
enum class Outcome { kSuccess = 0, kFailed = 1, kUsage = 2 };

class HostSession {
  public:
    explicit HostSession(ResultWriter& writer);
    ~HostSession();  // finishes a session that is still open
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    // Load the plug-in, start the embedded emulator when no front end is given, open, lock,
    // scan, and set the IR lengths (checked given ones or derived ones). For diagnose, a failing
    // scan or IR check is left for the diagnosis to report.
    [[nodiscard]] Outcome begin(const HostOptions& options);
    [[nodiscard]] Outcome execute(const HostCommand& command);
    // Unlock, close, unload; kFailed when closing failed.
    [[nodiscard]] Outcome finish();

  private:
    Outcome failed(const std::string& what);
    Outcome failed(const std::string& what, const std::vector<std::string>& pluginErrors);
    Outcome usage(const std::string& what);
    // A failure of the session library, with what cse-host was doing in front when given.
    Outcome reported(const csesession::SessionError& error, const std::string& doing = "");
    bool resetTap();
    Outcome needIrLengths(const HostCommand& command);
    Outcome needInstructions(const HostCommand& command);
    // How a repetition names the command: "'drscan 1 24 0'", with " (FILE:LINE)" in a script.
    static std::string callLabel(const HostCommand& command);

    Outcome scan(const HostCommand& command);
    Outcome readIdcode(const HostCommand& command);
    Outcome deviceScan(const HostCommand& command);
    Outcome chainScan(const HostCommand& command);
    Outcome moveTap(const HostCommand& command);
    Outcome diagnose(const HostOptions& options);
    Outcome playSvfCommand(const HostCommand& command);  // HostSvf.cpp
    Outcome serve(const HostCommand& command);           // ServeCommand.cpp
    Outcome enqueue(const HostCommand& command);         // HostQueue.cpp
    Outcome runQueue();                                  // HostQueue.cpp

    ResultWriter& writer_;
    int verbosity_ = 0;
    const HostOptions* options_ = nullptr;
    std::unique_ptr<csesession::CableSession> session_;
    // Every scan and navigation goes through it: --retries, and the instruction to load again.
    csesession::CallRetries calls_;
    // Between a script's queue and run-queue lines: the queue and its commands, item by item.
    std::unique_ptr<csesession::ScanQueue> queue_;
    std::vector<HostCommand> queued_;
    // What the diagnosis and the SVF player drive directly.
    CsePluginInterface::ICsePlugin* plugin_ = nullptr;
    bool scanned_ = false;
    std::string scanProblem_;  // why the plug-in's scan failed (diagnose goes on without it)
    uint32_t deviceCount_ = 0;
    bool resultsShown_ = false;  // a result was written, so it stands whatever closing says
    bool progressLine_ = false;  // a progress line on stderr waits for its end
    std::string origin_;         // "FILE:LINE: " of the running script command
};

}  // namespace csehost
