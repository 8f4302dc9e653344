// SPDX-License-Identifier: Apache-2.0
// Test support: host callbacks that record every trace, message, log line and dump in order.
//
// Usage: construct one RecordingCallbacks in a test (it registers itself as the process-wide
// callback record, the previous record is restored when it goes out of scope), run code, then
// inspect events() or the helpers. Only one recorder may be active at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "koraven-cse-plugin/CsePluginCallbacks.h"

namespace krvtest {

struct CallbackEvent {
    enum class Kind { TraceEnter, TraceExit, Message, Log, Dump };
    Kind kind = Kind::Log;
    int depth = 0;              // trace nesting depth at the time (an enter and its exit share it)
    uint32_t level = 0;         // Log and Dump
    uint32_t handle = 0;        // Message
    uint32_t category = 0;      // Message
    std::string text;           // trace name/result, message text, formatted log line, dump label
    std::string format;         // Log: the format as passed
    std::vector<uint8_t> bits;  // Dump: a copy of the buffer's (bitCount + 7) / 8 bytes
    uint32_t bitCount = 0;      // Dump
};

enum class DumpCapture { Record, Off };  // Off registers a null dumpCallback

class RecordingCallbacks {
  public:
    explicit RecordingCallbacks(DumpCapture dumps = DumpCapture::Record);
    ~RecordingCallbacks();
    RecordingCallbacks(const RecordingCallbacks&) = delete;
    RecordingCallbacks& operator=(const RecordingCallbacks&) = delete;

    // The record as registered, e.g. to hand to CsePlugin_setCallbacks of a loaded library.
    const CsePluginCallbacks& record() const { return callbacks; }

    const std::vector<CallbackEvent>& events() const { return recorded; }
    void clear();

    // Formatted log lines, optionally only those of one level (0 = every level).
    std::vector<std::string> logs(uint32_t level = 0) const;
    bool hasLog(uint32_t level, const std::string& text) const;
    // Traces as "> name" for an entry and "< result" for an exit, indented two blanks per depth.
    std::vector<std::string> traces() const;
    // Traces, messages ("M <category hex> text") and logs ("L<level> text") in the order they came.
    std::vector<std::string> transcript() const;
    std::vector<CallbackEvent> ofKind(CallbackEvent::Kind kind) const;
    // Every entry matched by exactly one exit, properly nested, nothing left open.
    bool tracesBalanced() const;

  private:
    friend struct RecordingCallbacksAccess;
    std::vector<CallbackEvent> recorded;
    int depth = 0;
    CsePluginCallbacks callbacks{};
    CsePluginCallbacks previous{};
};

}  // namespace krvtest
