#include "host/HostOutput.h"

#include <cstdarg>
#include <cstdint>

#include "session/HexBits.h"

namespace csehost {

using csesession::formatHexBits;
namespace {

constexpr uint32_t kErrorCategory = 0x100;
constexpr uint32_t kWarningCategory = 0x200;
constexpr uint32_t kTraceLevel = 4;
constexpr size_t kMaxKeptErrors = 64;

OutputSettings gSettings;
int gTraceDepth = 0;
std::string gLastCategorisedText;  // the text of the last "<CsePlugin> Kind:" line shown
std::vector<std::string> gErrors;

std::string withoutTrailingNewlines(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

void keepError(const std::string& line) {
    // The target's own entry/exit lines say nothing a user can act on.
    if (line.find(">>Enter>>") != std::string::npos || line.find("<<Exit<<") != std::string::npos) {
        return;
    }
    if (!gErrors.empty() && gErrors.back() == line) return;  // the same message through log
    if (gErrors.size() < kMaxKeptErrors) gErrors.push_back(line);
}

void printLine(const std::string& line) {
    const int indent = gSettings.verbosity >= static_cast<int>(kTraceLevel) ? 2 * gTraceDepth : 0;
    std::fprintf(gSettings.stream, "%*s%s\n", indent, "", line.c_str());
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

void CSE_CALLCONV onMessage(uint32_t handle, uint32_t category, const char* text) {
    (void)handle;
    if (text == nullptr) return;
    if (category == kErrorCategory || category == kWarningCategory) {
        keepError(withoutTrailingNewlines(text));
    }
}

void CSE_CALLCONV onLog(uint32_t level, const char* format, va_list args) {
    if (format == nullptr) return;
    const std::string line = withoutTrailingNewlines(formatArguments(format, args));
    // The prefixed copy of a categorised message; its raw text came through onMessage.
    if (level == 1 && !startsWith(line, "<CsePlugin> Error:") &&
        !startsWith(line, "<CsePlugin> Warning:")) {
        keepError(line);
    }
    if (gSettings.verbosity == 0 || static_cast<int>(level) > gSettings.verbosity) return;
    // A categorised message comes as "<CsePlugin> Info:TEXT" and then as TEXT: show it once.
    if (!gLastCategorisedText.empty() && line == gLastCategorisedText) {
        gLastCategorisedText.clear();
        return;
    }
    gLastCategorisedText.clear();
    const size_t colon = line.find(':');
    if (startsWith(line, "<CsePlugin> ") && colon != std::string::npos &&
        line.find(' ', 12) > colon) {
        gLastCategorisedText = line.substr(colon + 1);
    }
    printLine(line);
}

void CSE_CALLCONV onDump(uint32_t level, const char* label, const uint8_t* buffer,
                         uint32_t bitCount) {
    (void)level;
    if (!gSettings.dump || buffer == nullptr) return;
    printLine(std::string("dump ") + (label != nullptr ? label : "") + " " +
              std::to_string(bitCount) + " bits: 0x" + formatHexBits(buffer, bitCount));
}

void CSE_CALLCONV onTraceEnter(const char* name) {
    if (gSettings.verbosity >= static_cast<int>(kTraceLevel)) {
        printLine(std::string("-> ") + (name != nullptr ? name : ""));
    }
    ++gTraceDepth;
}

void CSE_CALLCONV onTraceExit(const char* result) {
    if (gTraceDepth > 0) --gTraceDepth;
    if (gSettings.verbosity >= static_cast<int>(kTraceLevel)) {
        const std::string text = result != nullptr ? result : "";
        printLine(text.empty() ? "<-" : "<- " + text);
    }
}

const CsePluginCallbacks kCallbacks = {onMessage, onLog, onDump, onTraceEnter, onTraceExit};

}  // namespace

void configureOutput(const OutputSettings& settings) {
    gSettings = settings;
    gTraceDepth = 0;
    gErrors.clear();
}

const CsePluginCallbacks& hostCallbacks() {
    return kCallbacks;
}

std::vector<std::string> takeLibraryErrors() {
    std::vector<std::string> errors;
    errors.swap(gErrors);
    return errors;
}

}  // namespace csehost
