// SPDX-License-Identifier: Apache-2.0
// What the plug-in says through its five callbacks, for one session: log lines filtered by level
// and handed to the front end's sink, and the error lines kept for the reason of a failed step.
// The callbacks are plain C functions without a context, so one session at a time receives them:
// the one opened last, and when it ends the one before it.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "koraven-cse-plugin/CsePluginCallbacks.h"
#include "session/CableSession.h"

namespace csesession {

class PluginMessages {
  public:
    PluginMessages(int verbosity, bool dump, LogSink log);
    ~PluginMessages();  // stops receiving
    PluginMessages(const PluginMessages&) = delete;
    PluginMessages& operator=(const PluginMessages&) = delete;

    // From now on the callbacks come to this object.
    void receive();
    // Error and warning lines since the last call, without the entry/exit traces and without the
    // second copy every message gets; cleared by the call.
    [[nodiscard]] std::vector<std::string> takeErrors();

    void onMessage(uint32_t category, const std::string& text);
    void onLog(uint32_t level, const std::string& line);
    void onDump(const std::string& label, const uint8_t* buffer, uint32_t bitCount);
    void onTraceEnter(const std::string& name);
    void onTraceExit(const std::string& result);

  private:
    void keepError(const std::string& line);
    void show(int level, const std::string& line);

    int verbosity_;
    bool dump_;
    LogSink log_;
    int traceDepth_ = 0;
    std::string lastCategorisedText_;  // the text of the last "<CsePlugin> Kind:" line shown
    std::vector<std::string> errors_;
};

// The lines in the order a user reads them: the plug-in's fixed lines that only name the call that
// failed ("Error calling KRV_Attach.", "navigateTAPImpl: RawShift failed", ...) after the lines
// that say why.
[[nodiscard]] std::vector<std::string> causeFirst(std::vector<std::string> lines);

// The session's own words for a failed open whose plug-in lines name the failed call but no cause:
// "the front end at HOST:PORT did not answer the attach within 5 s (timeout=)" when the open took
// the reply time-out, else that it refused. Empty when the lines hold a cause of their own.
[[nodiscard]] std::string openFailureCause(const std::vector<std::string>& lines,
                                           const std::string& frontEnd, uint32_t timeoutSeconds,
                                           double elapsedSeconds);

// The record to hand to CsePlugin_setCallbacks.
[[nodiscard]] const CsePluginCallbacks& pluginCallbacks();

}  // namespace csesession
