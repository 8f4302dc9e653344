// SPDX-License-Identifier: Apache-2.0
#include "tests/framework/support/RecordingCallbacks.h"

#include <cstdarg>
#include <cstdio>
#include <sstream>

#include "framework/CallbackRecord.h"

namespace krvtest {

namespace {
RecordingCallbacks* active = nullptr;
}

struct RecordingCallbacksAccess {
    static void push(CallbackEvent event) { active->recorded.push_back(std::move(event)); }
    static int& depth() { return active->depth; }
};

namespace {

void CSE_CALLCONV onMessage(uint32_t handle, uint32_t category, const char* text) {
    if (active == nullptr) return;
    CallbackEvent event;
    event.kind = CallbackEvent::Kind::Message;
    event.depth = RecordingCallbacksAccess::depth();
    event.handle = handle;
    event.category = category;
    event.text = text != nullptr ? text : "";
    RecordingCallbacksAccess::push(event);
}

void CSE_CALLCONV onLog(uint32_t level, const char* format, va_list args) {
    if (active == nullptr) return;
    CallbackEvent event;
    event.kind = CallbackEvent::Kind::Log;
    event.depth = RecordingCallbacksAccess::depth();
    event.level = level;
    event.format = format != nullptr ? format : "";
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, event.format.c_str(), copy);
    va_end(copy);
    if (length > 0) {
        std::vector<char> text(static_cast<size_t>(length) + 1);
        std::vsnprintf(text.data(), text.size(), event.format.c_str(), args);
        event.text.assign(text.data(), static_cast<size_t>(length));
    }
    RecordingCallbacksAccess::push(event);
}

void CSE_CALLCONV onDump(uint32_t level, const char* label, const uint8_t* buffer,
                         uint32_t bitCount) {
    if (active == nullptr) return;
    CallbackEvent event;
    event.kind = CallbackEvent::Kind::Dump;
    event.depth = RecordingCallbacksAccess::depth();
    event.level = level;
    event.text = label != nullptr ? label : "";
    event.bitCount = bitCount;
    if (buffer != nullptr) event.bits.assign(buffer, buffer + (uint64_t{bitCount} + 7) / 8);
    RecordingCallbacksAccess::push(event);
}

void CSE_CALLCONV onTraceEnter(const char* name) {
    if (active == nullptr) return;
    CallbackEvent event;
    event.kind = CallbackEvent::Kind::TraceEnter;
    event.depth = RecordingCallbacksAccess::depth()++;
    event.text = name != nullptr ? name : "";
    RecordingCallbacksAccess::push(event);
}

void CSE_CALLCONV onTraceExit(const char* result) {
    if (active == nullptr) return;
    CallbackEvent event;
    event.kind = CallbackEvent::Kind::TraceExit;
    event.depth = --RecordingCallbacksAccess::depth();
    event.text = result != nullptr ? result : "";
    RecordingCallbacksAccess::push(event);
}

}  // namespace

RecordingCallbacks::RecordingCallbacks(DumpCapture dumps) {
    callbacks = {onMessage, onLog, dumps == DumpCapture::Record ? onDump : nullptr, onTraceEnter,
                 onTraceExit};
    previous = CsePluginInterface::CallbackRecord::current();
    active = this;
    CsePluginInterface::CallbackRecord::replace(callbacks);
}

RecordingCallbacks::~RecordingCallbacks() {
    CsePluginInterface::CallbackRecord::replace(previous);
    active = nullptr;
}

void RecordingCallbacks::clear() {
    recorded.clear();
    depth = 0;
}

std::vector<std::string> RecordingCallbacks::logs(uint32_t level) const {
    std::vector<std::string> lines;
    for (const CallbackEvent& event : recorded) {
        if (event.kind == CallbackEvent::Kind::Log && (level == 0 || event.level == level)) {
            lines.push_back(event.text);
        }
    }
    return lines;
}

bool RecordingCallbacks::hasLog(uint32_t level, const std::string& text) const {
    for (const std::string& line : logs(level)) {
        if (line == text) return true;
    }
    return false;
}

std::vector<std::string> RecordingCallbacks::traces() const {
    std::vector<std::string> lines;
    for (const CallbackEvent& event : recorded) {
        const std::string indent(static_cast<size_t>(event.depth < 0 ? 0 : event.depth) * 2, ' ');
        if (event.kind == CallbackEvent::Kind::TraceEnter)
            lines.push_back(indent + "> " + event.text);
        if (event.kind == CallbackEvent::Kind::TraceExit)
            lines.push_back(indent + "< " + event.text);
    }
    return lines;
}

std::vector<std::string> RecordingCallbacks::transcript() const {
    std::vector<std::string> lines;
    for (const CallbackEvent& event : recorded) {
        std::ostringstream line;
        switch (event.kind) {
            case CallbackEvent::Kind::TraceEnter:
                line << "> " << event.text;
                break;
            case CallbackEvent::Kind::TraceExit:
                line << "< " << event.text;
                break;
            case CallbackEvent::Kind::Message:
                line << "M " << std::hex << event.category << ' ' << event.text;
                break;
            case CallbackEvent::Kind::Log:
                line << 'L' << event.level << ' ' << event.text;
                break;
            case CallbackEvent::Kind::Dump:
                line << "D " << event.text << ' ' << event.bitCount;
                break;
        }
        lines.push_back(line.str());
    }
    return lines;
}

std::vector<CallbackEvent> RecordingCallbacks::ofKind(CallbackEvent::Kind kind) const {
    std::vector<CallbackEvent> selected;
    for (const CallbackEvent& event : recorded) {
        if (event.kind == kind) selected.push_back(event);
    }
    return selected;
}

bool RecordingCallbacks::tracesBalanced() const {
    int open = 0;
    for (const CallbackEvent& event : recorded) {
        if (event.kind == CallbackEvent::Kind::TraceEnter) {
            if (event.depth != open) return false;
            ++open;
        } else if (event.kind == CallbackEvent::Kind::TraceExit) {
            --open;
            if (open < 0 || event.depth != open) return false;
        }
    }
    return open == 0;
}

}  // namespace krvtest
