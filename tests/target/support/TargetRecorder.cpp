// SPDX-License-Identifier: Apache-2.0
#include "support/TargetRecorder.h"

#include <cstdarg>
#include <cstdio>

#include "framework/CallbackRecord.h"

namespace targettest {
namespace {

TargetRecorder* gActive = nullptr;

void record(CallbackEvent::Kind kind, uint32_t code, std::string text, uint32_t bitCount = 0) {
    if (gActive == nullptr) return;
    CallbackEvent event;
    event.kind = kind;
    event.code = code;
    event.text = std::move(text);
    event.bitCount = bitCount;
    gActive->events.push_back(std::move(event));
}

void CSE_CALLCONV onMessage(uint32_t, uint32_t category, const char* text) {
    record(CallbackEvent::Kind::kMessage, category, text != nullptr ? text : "");
}

void CSE_CALLCONV onLog(uint32_t level, const char* format, va_list args) {
    char line[4096] = {};
    std::vsnprintf(line, sizeof line, format, args);
    record(CallbackEvent::Kind::kLog, level, line);
}

void CSE_CALLCONV onDump(uint32_t level, const char* label, const uint8_t*, uint32_t bitCount) {
    record(CallbackEvent::Kind::kDump, level, label != nullptr ? label : "", bitCount);
}

void CSE_CALLCONV onEnter(const char* name) {
    record(CallbackEvent::Kind::kEnter, 0, name);
}

void CSE_CALLCONV onExit(const char* result) {
    record(CallbackEvent::Kind::kExit, 0, result);
}

}  // namespace

TargetRecorder::TargetRecorder() {
    gActive = this;
    const CsePluginCallbacks callbacks = {onMessage, onLog, onDump, onEnter, onExit};
    CsePluginInterface::CallbackRecord::replace(callbacks);
}

TargetRecorder::~TargetRecorder() {
    CsePluginInterface::CallbackRecord::replace(CsePluginCallbacks{});
    gActive = nullptr;
}

std::vector<std::string> TargetRecorder::messages(uint32_t category) const {
    std::vector<std::string> texts;
    for (const CallbackEvent& event : events) {
        if (event.kind == CallbackEvent::Kind::kMessage && event.code == category) {
            texts.push_back(event.text);
        }
    }
    return texts;
}

std::vector<std::string> TargetRecorder::allMessages() const {
    std::vector<std::string> texts;
    for (const CallbackEvent& event : events) {
        if (event.kind == CallbackEvent::Kind::kMessage) texts.push_back(event.text);
    }
    return texts;
}

std::vector<std::string> TargetRecorder::logs(uint32_t level) const {
    std::vector<std::string> texts;
    for (const CallbackEvent& event : events) {
        if (event.kind == CallbackEvent::Kind::kLog && event.code == level) {
            texts.push_back(event.text);
        }
    }
    return texts;
}

bool TargetRecorder::hasMessage(uint32_t category, const std::string& text) const {
    for (const std::string& message : messages(category)) {
        if (message == text) return true;
    }
    return false;
}

bool TargetRecorder::hasLog(uint32_t level, const std::string& text) const {
    for (const std::string& line : logs(level)) {
        if (line == text) return true;
    }
    return false;
}

std::vector<std::string> TargetRecorder::targetLines() const {
    static const std::string kPrefix = "KORAVEN: ";
    std::vector<std::string> lines;
    for (const std::string& message : allMessages()) {
        if (message.compare(0, kPrefix.size(), kPrefix) == 0) {
            lines.push_back(message.substr(kPrefix.size()));
        }
    }
    return lines;
}

}  // namespace targettest
