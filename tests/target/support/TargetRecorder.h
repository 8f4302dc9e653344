// SPDX-License-Identifier: Apache-2.0
// Records everything the library hands to the host's five callbacks, in order, for assertions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace targettest {

struct CallbackEvent {
    enum class Kind { kMessage, kLog, kDump, kEnter, kExit };
    Kind kind = Kind::kLog;
    uint32_t code = 0;      // message category, log level or dump level
    std::string text;       // message text, formatted log line, dump label, trace name or result
    uint32_t bitCount = 0;  // dumps
};

// Installs its callbacks on construction and removes them (all null) on destruction; one at a time.
class TargetRecorder {
  public:
    TargetRecorder();
    ~TargetRecorder();
    TargetRecorder(const TargetRecorder&) = delete;
    TargetRecorder& operator=(const TargetRecorder&) = delete;

    void clear() { events.clear(); }

    // Texts of the messageCallback calls with this category, in order.
    std::vector<std::string> messages(uint32_t category) const;
    // Every messageCallback text, whatever its category.
    std::vector<std::string> allMessages() const;
    // Formatted logCallback lines at this level, in order.
    std::vector<std::string> logs(uint32_t level) const;
    bool hasMessage(uint32_t category, const std::string& text) const;
    bool hasLog(uint32_t level, const std::string& text) const;
    // The target's own message lines (category 0x8000 and others), without the "KORAVEN: " prefix.
    std::vector<std::string> targetLines() const;

    std::vector<CallbackEvent> events;
};

}  // namespace targettest
