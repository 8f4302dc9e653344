// What cse-host shows of the library: the five callbacks it registers, filtered by verbosity, and
// the library's error lines kept for the report of a failed step.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "koraven-cse-plugin/CsePluginCallbacks.h"

namespace csehost {

struct OutputSettings {
    int verbosity = 0;      // 0 quiet; 1..3 logs up to that level; 4 also level 4 and the traces
    bool dump = false;      // show level-5 buffer dumps
    FILE* stream = stderr;  // where all of it goes
};

// The callbacks are plain C functions, so their settings are process-wide.
void configureOutput(const OutputSettings& settings);

// The record to hand to CsePlugin_setCallbacks.
[[nodiscard]] const CsePluginCallbacks& hostCallbacks();

// Error and warning lines the library produced since the last call, without its entry/exit traces
// and without the second copy every message gets; cleared by the call.
[[nodiscard]] std::vector<std::string> takeLibraryErrors();

}  // namespace csehost
