// SPDX-License-Identifier: Apache-2.0
#include "session/PluginSearch.h"

#include <sys/stat.h>

#include "session/PluginLoader.h"

#ifndef KRV_PLUGIN_DIR_FROM_BINDIR
#define KRV_PLUGIN_DIR_FROM_BINDIR "../lib/koraven-cse-plugin"
#endif

namespace csesession {

PluginCandidates pluginCandidates(const std::string& libOption, const char* environmentValue,
                                  const std::string& programDirectory) {
    PluginCandidates candidates;
    if (!libOption.empty() || (environmentValue != nullptr && *environmentValue != '\0')) {
        candidates.paths.push_back(!libOption.empty() ? libOption : environmentValue);
        candidates.explicitChoice = true;
        return candidates;
    }
    const std::string file = pluginFileName();
    candidates.paths.push_back(programDirectory + file);
    candidates.paths.push_back(programDirectory + KRV_PLUGIN_DIR_FROM_BINDIR "/" + file);
    return candidates;
}

bool choosePlugin(const PluginCandidates& candidates, std::string& path, std::string& error) {
    if (candidates.explicitChoice) {
        path = candidates.paths.front();
        return true;
    }
    std::string looked;
    for (const std::string& candidate : candidates.paths) {
        struct stat status = {};
        if (stat(candidate.c_str(), &status) == 0) {
            path = candidate;
            return true;
        }
        looked += (looked.empty() ? "" : ", ") + candidate;
    }
    error = std::string("no plug-in found (looked at ") + looked + "); give --lib PATH or set " +
            kPluginPathVariable;
    return false;
}

}  // namespace csesession
