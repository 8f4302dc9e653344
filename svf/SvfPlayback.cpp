// SPDX-License-Identifier: Apache-2.0
// Where the text comes from, and the result in words; the playing is SvfPlayer.cpp.
#include "svf/SvfPlayback.h"

#include <cerrno>
#include <cstring>
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

namespace {

std::string counted(uint64_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

std::string SvfResult::summary(const std::string& fileName) const {
    const std::string counts = counted(scans, "scan", "scans") + ", " +
                               counted(checks, "TDO check", "TDO checks") + ", " +
                               counted(mismatchCount, "mismatch", "mismatches");
    // A file stopped part-way must not read like one that passed.
    if (outcome == Outcome::kStopped) {
        return fileName + ": stopped before its end after " +
               counted(statements, "statement", "statements") + " (" + counts +
               "): the file did not finish";
    }
    return fileName + ": " + counts;
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

bool checkSvfFile(const std::string& path, std::string& reason, int* systemError) {
    if (path == "-") return true;
    std::error_code status;
    // A folder opens as a stream on some systems and would only fail at the first read.
    const int error = std::filesystem::is_directory(path, status) ? EISDIR
                      : std::ifstream(path, std::ios::binary)    ? 0
                                                                 : errno;
    if (error != 0) {
        reason = "cannot read the SVF file " + path + ": " + std::strerror(error);
        if (systemError != nullptr) *systemError = error;
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
    int systemError = 0;
    if (!checkSvfFile(path, reason, &systemError)) {
        SvfResult result = unreadable(reason);
        result.systemError = systemError;
        return result;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) return unreadable("cannot read the SVF file " + path + ": " + std::strerror(errno));
    return playSvfText(plugin, file, named, regularFileBytes(path));
}

}  // namespace csesvf
