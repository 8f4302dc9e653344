// SPDX-License-Identifier: Apache-2.0
#include "session/PluginMessages.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "session/HexBits.h"

namespace csesession {
namespace {

constexpr uint32_t kErrorCategory = 0x100;
constexpr uint32_t kWarningCategory = 0x200;
constexpr int kTraceLevel = 4;
constexpr int kDumpLevel = 5;
constexpr size_t kMaxKeptErrors = 64;

// The plug-in's fixed lines that name the step or call that failed, not why.
constexpr const char* kCallNamingLines[] = {
    "KORAVEN: Failed to set up connection to KORAVEN debugger hardware",
    "KORAVEN: Assure that the KORAVEN Quorbit GUI is running and configured for Remote API access.",
    "KORAVEN: Error calling KRV_Attach.",
    "KORAVEN: Error calling KRV_ExecuteCommand.",
    "KORAVEN: navigateTAPImpl: RawShift failed",
};
constexpr const char kAttachLine[] = "KORAVEN: Error calling KRV_Attach.";
constexpr const char kPinCommandLine[] = "KORAVEN: Error calling KRV_ExecuteCommand.";

std::string withoutTrailingBlanks(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

bool namesTheCallOnly(const std::string& line) {
    const std::string trimmed = withoutTrailingBlanks(line);
    for (const char* fixed : kCallNamingLines) {
        if (trimmed == fixed) return true;
    }
    return false;
}

std::mutex gReceiverMutex;
PluginMessages* gReceiver = nullptr;
// Sessions open at the same time, latest last: when one ends, the one before receives again.
std::vector<PluginMessages*> gReceivers;

std::string withoutTrailingNewlines(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

std::string formatArguments(const char* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0) return format;
    std::string text(static_cast<size_t>(length) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, args);
    text.resize(static_cast<size_t>(length));
    return text;
}

template <typename Call>
void deliver(Call call) {
    const std::lock_guard<std::mutex> lock(gReceiverMutex);
    if (gReceiver != nullptr) call(*gReceiver);
}

void CSE_CALLCONV messageCallback(uint32_t handle, uint32_t category, const char* text) {
    (void)handle;
    if (text == nullptr) return;
    deliver([&](PluginMessages& to) { to.onMessage(category, text); });
}

void CSE_CALLCONV logCallback(uint32_t level, const char* format, va_list args) {
    if (format == nullptr) return;
    const std::string line = withoutTrailingNewlines(formatArguments(format, args));
    deliver([&](PluginMessages& to) { to.onLog(level, line); });
}

void CSE_CALLCONV dumpCallback(uint32_t level, const char* label, const uint8_t* buffer,
                               uint32_t bitCount) {
    (void)level;
    if (buffer == nullptr) return;
    deliver(
        [&](PluginMessages& to) { to.onDump(label != nullptr ? label : "", buffer, bitCount); });
}

void CSE_CALLCONV traceEnterCallback(const char* name) {
    deliver([&](PluginMessages& to) { to.onTraceEnter(name != nullptr ? name : ""); });
}

void CSE_CALLCONV traceExitCallback(const char* result) {
    deliver([&](PluginMessages& to) { to.onTraceExit(result != nullptr ? result : ""); });
}

const CsePluginCallbacks kCallbacks = {messageCallback, logCallback, dumpCallback,
                                       traceEnterCallback, traceExitCallback};

}  // namespace

PluginMessages::PluginMessages(int verbosity, bool dump, LogSink log)
    : verbosity_(verbosity), dump_(dump), log_(std::move(log)) {}

PluginMessages::~PluginMessages() {
    const std::lock_guard<std::mutex> lock(gReceiverMutex);
    gReceivers.erase(std::remove(gReceivers.begin(), gReceivers.end(), this), gReceivers.end());
    gReceiver = gReceivers.empty() ? nullptr : gReceivers.back();
}

void PluginMessages::receive() {
    const std::lock_guard<std::mutex> lock(gReceiverMutex);
    gReceivers.erase(std::remove(gReceivers.begin(), gReceivers.end(), this), gReceivers.end());
    gReceivers.push_back(this);
    gReceiver = this;
}

std::vector<std::string> PluginMessages::takeErrors() {
    const std::lock_guard<std::mutex> lock(gReceiverMutex);
    std::vector<std::string> errors;
    errors.swap(errors_);
    return causeFirst(std::move(errors));
}

void PluginMessages::keepError(const std::string& line) {
    // The target's own entry/exit lines say nothing a user can act on.
    if (line.find(">>Enter>>") != std::string::npos || line.find("<<Exit<<") != std::string::npos) {
        return;
    }
    if (!errors_.empty() && errors_.back() == line) return;  // the same message through log
    if (errors_.size() < kMaxKeptErrors) errors_.push_back(line);
}

void PluginMessages::show(int level, const std::string& line) {
    if (!log_) return;
    const int indent = verbosity_ >= kTraceLevel ? 2 * traceDepth_ : 0;
    log_(level, std::string(static_cast<size_t>(indent), ' ') + line);
}

void PluginMessages::onMessage(uint32_t category, const std::string& text) {
    if (category == kErrorCategory || category == kWarningCategory) {
        keepError(withoutTrailingNewlines(text));
    }
}

void PluginMessages::onLog(uint32_t level, const std::string& line) {
    // The prefixed copy of a categorised message; its raw text came through onMessage.
    if (level == 1 && !startsWith(line, "<CsePlugin> Error:") &&
        !startsWith(line, "<CsePlugin> Warning:")) {
        keepError(line);
    }
    if (verbosity_ == 0 || static_cast<int>(level) > verbosity_) return;
    // A categorised message comes as "<CsePlugin> Info:TEXT" and then as TEXT: show it once.
    if (!lastCategorisedText_.empty() && line == lastCategorisedText_) {
        lastCategorisedText_.clear();
        return;
    }
    lastCategorisedText_.clear();
    const size_t colon = line.find(':');
    if (startsWith(line, "<CsePlugin> ") && colon != std::string::npos &&
        line.find(' ', 12) > colon) {
        lastCategorisedText_ = line.substr(colon + 1);
    }
    show(static_cast<int>(level), line);
}

void PluginMessages::onDump(const std::string& label, const uint8_t* buffer, uint32_t bitCount) {
    if (!dump_) return;
    show(kDumpLevel, "dump " + label + " " + std::to_string(bitCount) + " bits: 0x" +
                         formatHexBits(buffer, bitCount));
}

void PluginMessages::onTraceEnter(const std::string& name) {
    if (verbosity_ >= kTraceLevel) show(kTraceLevel, "-> " + name);
    ++traceDepth_;
}

void PluginMessages::onTraceExit(const std::string& result) {
    if (traceDepth_ > 0) --traceDepth_;
    if (verbosity_ >= kTraceLevel) show(kTraceLevel, result.empty() ? "<-" : "<- " + result);
}

std::vector<std::string> causeFirst(std::vector<std::string> lines) {
    std::stable_partition(lines.begin(), lines.end(),
                          [](const std::string& line) { return !namesTheCallOnly(line); });
    return lines;
}

std::string openFailureCause(const std::vector<std::string>& lines, const std::string& frontEnd,
                             uint32_t timeoutSeconds, double elapsedSeconds) {
    if (!std::all_of(lines.begin(), lines.end(), namesTheCallOnly)) return {};
    const auto has = [&lines](const char* fixed) {
        return std::find(lines.begin(), lines.end(), fixed) != lines.end();
    };
    const char* call = has(kAttachLine)       ? "the attach"
                       : has(kPinCommandLine) ? "the command "
                                                "JTAG.PIN ENABLE"
                                              : nullptr;
    if (call == nullptr) return {};
    // No reply fails only once the reply time-out has passed; an answer that refused comes at once.
    if (elapsedSeconds >= timeoutSeconds) {
        return "the front end at " + frontEnd + " did not answer " + call + " within " +
               std::to_string(timeoutSeconds) + " s (timeout=)";
    }
    return "the front end at " + frontEnd + " refused " + call;
}

const CsePluginCallbacks& pluginCallbacks() {
    return kCallbacks;
}

}  // namespace csesession
