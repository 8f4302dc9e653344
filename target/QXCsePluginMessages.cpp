// SPDX-License-Identifier: Apache-2.0
// The target's own message line, its entry/exit traces, and construction and destruction.
#include <cstdarg>
#include <cstring>

#include "framework/CallbackRecord.h"
#include "framework/TextFormat.h"
#include "target/QXCsePlugin.h"

namespace CsePluginInterface {
namespace {

constexpr char kLinePrefix[] = "KORAVEN: ";
constexpr uint32_t kLinePrefixLength = sizeof kLinePrefix - 1;
static_assert(kLinePrefixLength + QXCsePlugin::kMaxMessageCharacters + 1 ==
                  QXCsePlugin::kLogLineBytes,
              "the longest message and its terminating zero fill the line exactly");

// Log level of a message category; 0 for a code that is not one of ours.
uint32_t logLevelOf(uint32_t category) {
    switch (category) {
        case CSE_MESSAGE_ERROR:
        case CSE_MESSAGE_WARNING:
            return 1;
        case CSE_MESSAGE_STATUS:
        case CSE_MESSAGE_INFO:
        case CSE_MESSAGE_PLAIN:
            return 2;
        case CSE_MESSAGE_DEBUG:
            return 3;
        default:
            return 0;
    }
}

}  // namespace

void QXCsePlugin::logMessage(uint32_t category, const char* format, ...) {
    // A line that no callback receives is not formatted: on a small request that formatting
    // would be most of the client's own work.
    const CsePluginCallbacks callbacks = CallbackRecord::current();
    if (callbacks.messageCallback == nullptr && callbacks.logCallback == nullptr) return;
    // Only the prefix is written ahead: the formatted text ends with its own zero, and filling the
    // 1 KB line with zeros first cost more than formatting a short line.
    char line[kLogLineBytes];
    std::memcpy(line, kLinePrefix, kLinePrefixLength);
    va_list args;
    va_start(args, format);
    // Formatted once for every callback; it stops at the buffer's end, so an over-long text is
    // cut, never written past the line.
    formatText(line + kLinePrefixLength, kLogLineBytes - kLinePrefixLength, format, args);
    va_end(args);

    postMessage(category, line);
    const uint32_t level = logLevelOf(category);
    if (level == 0) log(1, "ERROR: Invalid code used for logging");
    // Handed over as an argument, so a per-cent sign in the line is never read as a conversion.
    log(level, "%s", line);
}

void QXCsePlugin::traceEnter(const char* qualifiedName) {
    logMessage(CSE_MESSAGE_DEBUG, ">>Enter>> %s()\n", qualifiedName);
}

CseResult QXCsePlugin::traceExit(const char* qualifiedName, CseResult result) {
    if (result == CSE_SUCCESS) {
        logMessage(CSE_MESSAGE_DEBUG, "<<Exit<<  %s() : %s\n", qualifiedName, "CSE_SUCCESS");
    } else {
        logMessage(CSE_MESSAGE_ERROR, "<<Exit<<  %s() : %s\n", qualifiedName, "CSE_FAILURE");
    }
    return result;
}

QXCsePlugin::QXCsePlugin() : CsePlugin() {
    logMessage(CSE_MESSAGE_DEBUG, ">>call<<  %s()\n", "QXCsePlugin::QXCsePlugin");
    logMessage(CSE_MESSAGE_INFO, "Loaded KORAVEN-CsePlugin\n");
    lockedMode = false;
}

QXCsePlugin::~QXCsePlugin() {
    logMessage(CSE_MESSAGE_DEBUG, ">>call<<  %s()\n", "QXCsePlugin::~QXCsePlugin");
    logMessage(CSE_MESSAGE_INFO, "Unloaded KORAVEN-CsePlugin\n");
}

void QXCsePlugin::setCurrentTapState(CseJtagTapState state) {
    currentTapState = static_cast<int32_t>(state);
    tapState.set(state);
}

bool QXCsePlugin::acceptsTapState(const char* qualifiedName, const char* what,
                                  CseJtagTapState state) {
    if (isValidTapState(state)) return true;
    // The walk is defined for the sixteen states only; anything else would never reach its goal.
    logMessage(CSE_MESSAGE_ERROR, "%s: %s %u is not a TAP state \n", qualifiedName, what,
               static_cast<unsigned>(state));
    traceExit(qualifiedName, CSE_FAILURE);
    return false;
}

}  // namespace CsePluginInterface
