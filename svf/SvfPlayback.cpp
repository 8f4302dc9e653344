// SPDX-License-Identifier: Apache-2.0
// Where the text comes from, and the result in words; the playing is SvfPlayer.cpp.
#include "svf/SvfPlayback.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <system_error>

namespace csesvf {

SvfResult playSvfText(CsePluginInterface::ICsePlugin& plugin, std::istream& input,
                      const SvfOptions& options, uint64_t totalBytes);  // SvfPlayer.cpp

namespace {

SvfResult unreadable(const std::string& reason) {
    SvfResult result;
    result.outcome = SvfResult::Outcome::kUnreadable;
    result.failure = reason;
    return result;
}

// The size of a regular file, 0 for anything else (a pipe, a terminal).
uint64_t regularFileBytes(const std::string& path) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) return 0;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : static_cast<uint64_t>(size);
}

}  // namespace

std::string SvfResult::summary(const std::string& fileName) const {
    return fileName + ": " + std::to_string(scans) + " scans, " + std::to_string(checks) +
           " TDO checks, " + std::to_string(mismatchCount) +
           (mismatchCount == 1 ? " mismatch" : " mismatches");
}

const char* outcomeName(SvfResult::Outcome outcome) {
    switch (outcome) {
        case SvfResult::Outcome::kPassed:
            return "passed";
        case SvfResult::Outcome::kMismatch:
            return "mismatch";
        case SvfResult::Outcome::kFailed:
            return "failed";
        case SvfResult::Outcome::kMalformed:
            return "malformed";
        case SvfResult::Outcome::kUnreadable:
            return "unreadable";
        case SvfResult::Outcome::kStopped:
            return "stopped";
    }
    return "?";
}

bool checkSvfFile(const std::string& path, std::string& reason) {
    if (path == "-") return true;
    if (!std::ifstream(path, std::ios::binary)) {
        reason = "cannot read the SVF file " + path;
        return false;
    }
    if (regularFileBytes(path) > kMaxSvfBytes) {
        reason = "the SVF file " + path + " is larger than 1 GiB";
        return false;
    }
    return true;
}

SvfResult playSvf(CsePluginInterface::ICsePlugin& plugin, std::istream& input,
                  const SvfOptions& options) {
    if (!options.fileName.empty()) return playSvfText(plugin, input, options, 0);
    SvfOptions named = options;
    named.fileName = "<input>";
    return playSvfText(plugin, input, named, 0);
}

SvfResult playSvfFile(CsePluginInterface::ICsePlugin& plugin, const std::string& path,
                      const SvfOptions& options) {
    SvfOptions named = options;
    if (named.fileName.empty()) named.fileName = path == "-" ? "<stdin>" : path;
    if (path == "-") return playSvfText(plugin, std::cin, named, 0);
    std::string reason;
    if (!checkSvfFile(path, reason)) return unreadable(reason);
    std::ifstream file(path, std::ios::binary);
    if (!file) return unreadable("cannot read the SVF file " + path);
    return playSvfText(plugin, file, named, regularFileBytes(path));
}

}  // namespace csesvf
