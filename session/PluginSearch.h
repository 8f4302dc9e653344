// SPDX-License-Identifier: Apache-2.0
// Where a front end looks for the plug-in library, in order.
#pragma once

#include <string>
#include <vector>

namespace csesession {

// Names the plug-in file to load when --lib is not given.
constexpr const char* kPluginPathVariable = "CSE_HOST_PLUGIN";

struct PluginCandidates {
    std::vector<std::string> paths;  // in lookup order
    bool explicitChoice = false;     // --lib or the variable: load it or fail, look nowhere else
};

// --lib PATH; else the variable (when set and not empty); else beside the program, then the plug-in
// folder of the installed tree found relative to the program's folder (so a moved tree still
// works). programDirectory ends in a separator or is empty.
[[nodiscard]] PluginCandidates pluginCandidates(const std::string& libOption,
                                                const char* environmentValue,
                                                const std::string& programDirectory);

// The first candidate to load: the explicit one, or the first implicit one that exists. False with
// the places looked at in error.
[[nodiscard]] bool choosePlugin(const PluginCandidates& candidates, std::string& path,
                                std::string& error);

}  // namespace csesession
