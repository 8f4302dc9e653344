// SPDX-License-Identifier: Apache-2.0
#include "session/ChainSearch.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#ifndef KRV_CHAIN_DIR_FROM_BINDIR
#define KRV_CHAIN_DIR_FROM_BINDIR "../share/quorbit-sim"
#endif

namespace csesession {
namespace fs = std::filesystem;

namespace {

constexpr char kSuffix[] = ".chain";

bool isFile(const fs::path& path) {
    std::error_code status;
    return fs::is_regular_file(path, status);
}

bool endsWithSuffix(const std::string& name) {
    const std::string suffix = kSuffix;
    return name.size() > suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A folder as a user would type it: "/usr/share/quorbit-sim", not "/usr/bin/../share/...".
std::string shown(const std::string& folder) {
    std::error_code status;
    const fs::path canonical = fs::weakly_canonical(folder, status);
    return status ? fs::path(folder).lexically_normal().string() : canonical.string();
}

std::string listed(const std::vector<std::string>& items, const char* lastJoin) {
    std::string text;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i != 0) text += i + 1 == items.size() ? lastJoin : ", ";
        text += items[i];
    }
    return text;
}

}  // namespace

std::string installedChainFolder(const std::string& programDirectory) {
    return programDirectory + KRV_CHAIN_DIR_FROM_BINDIR;
}

bool findChainFile(const std::string& nameOrPath, const std::vector<std::string>& folders,
                   std::string& path, std::string& error) {
    path = nameOrPath;
    if (nameOrPath.empty() || nameOrPath.find_first_of("/\\") != std::string::npos) return true;
    std::error_code status;
    if (fs::exists(nameOrPath, status)) return true;
    const std::string file = endsWithSuffix(nameOrPath) ? nameOrPath : nameOrPath + kSuffix;
    std::vector<std::string> looked;
    for (const std::string& folder : folders) {
        if (isFile(fs::path(folder) / file)) {
            path = (fs::path(folder) / file).string();
            return true;
        }
        const std::string place = shown(folder);
        if (std::find(looked.begin(), looked.end(), place) == looked.end()) looked.push_back(place);
    }
    const std::vector<std::string> names = installedChainNames(folders);
    error = "no chain file " + nameOrPath + " here, nor " + file + " in " + listed(looked, " or ") +
            (names.empty() ? "; no chain is installed there"
                           : "; the installed chains: " + listed(names, ", "));
    return false;
}

std::vector<std::string> installedChainNames(const std::vector<std::string>& folders) {
    std::vector<std::string> names;
    for (const std::string& folder : folders) {
        std::error_code status;
        for (fs::directory_iterator entry(folder, status), end; !status && entry != end;
             entry.increment(status)) {
            const std::string name = entry->path().filename().string();
            if (endsWithSuffix(name) && isFile(entry->path()))
                names.push_back(name.substr(0, name.size() - (sizeof kSuffix - 1)));
        }
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

}  // namespace csesession
