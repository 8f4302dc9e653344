// Plays parsed SVF commands through a plug-in's chain-level interface only: one chain shift per
// SIR/SDR ending in its end state, RUNTEST as navigations with extra clocks and a wait, STATE as
// navigations. Works with any plug-in of the interface.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "svf/SvfParser.h"

namespace CsePluginInterface {
class ICsePlugin;
}

namespace csesvf {

struct SvfPlayOptions {
    std::string fileName;    // for FILE:LINE in reports
    size_t fileBytes = 0;    // for progress
    bool keepGoing = false;  // report every mismatch instead of stopping at the first
    bool progress = false;   // a progress line on the report stream
    // Asked between commands; true stops the playback where it is (an interrupt).
    bool (*stopRequested)() = nullptr;
};

struct SvfPlayResult {
    enum class Outcome { kPassed, kMismatch, kFailed };
    Outcome outcome = Outcome::kPassed;
    std::string failure;  // kFailed: FILE:LINE and what failed
    uint64_t commands = 0;
    uint64_t scans = 0;
    uint64_t checks = 0;
    uint64_t mismatches = 0;
};

// Mismatch reports and progress go to reports.
[[nodiscard]] SvfPlayResult playSvf(CsePluginInterface::ICsePlugin& plugin,
                                    const std::vector<SvfCommand>& commands,
                                    const SvfPlayOptions& options, FILE* reports);

}  // namespace csesvf
