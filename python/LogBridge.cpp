// SPDX-License-Identifier: Apache-2.0
#include "python/LogBridge.h"

namespace csepython {

int loggingLevel(int pluginLevel) {
    switch (pluginLevel) {
        case 1:
            return 30;  // WARNING: the plug-in's level 1 mixes errors and warnings
        case 2:
            return 20;  // INFO: status lines
        case 3:
            return 10;  // DEBUG
        default:
            return 5;  // below DEBUG: entry/exit traces and dumps, shown only when asked for
    }
}

LogBridge::LogBridge() : logger_(py::module_::import("logging").attr("getLogger")("koraven_cse")) {}

int LogBridge::verbosity() const {
    int shown = 1;  // level 1 is kept anyway: the errors become part of the exceptions
    for (int level = 2; level <= 4; ++level) {
        if (logger_.attr("isEnabledFor")(loggingLevel(level)).cast<bool>()) shown = level;
    }
    return shown;
}

csesession::LogSink LogBridge::sink() {
    return [this](int level, const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.emplace_back(level, line);
    };
}

void LogBridge::flush() {
    std::vector<std::pair<int, std::string>> lines;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lines.swap(lines_);
    }
    for (const auto& [level, line] : lines) {
        const int mapped = loggingLevel(level);
        if (logger_.attr("isEnabledFor")(mapped).cast<bool>()) {
            logger_.attr("log")(mapped, "%s", line);
        }
    }
}

}  // namespace csepython
