// SPDX-License-Identifier: Apache-2.0
#include "sim/ChainLookup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace quorbit {
namespace {

bool isFile(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::string installedChainFolder(const std::string& executablePath) {
    const std::size_t slash = executablePath.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : executablePath.substr(0, slash);
    return folder + "/../share/quorbit-sim";
}

std::string findChainFile(const std::string& value, const std::string& chainFolder) {
    if (value.empty() || value.find('/') != std::string::npos || isFile(value)) return value;
    std::vector<std::string> names = {value};
    if (!endsWith(value, ".chain")) names.insert(names.begin(), value + ".chain");
    for (const std::string& name : names) {
        const std::string candidate = chainFolder + "/" + name;
        if (isFile(candidate)) return candidate;
    }
    return value;
}

std::string currentExecutablePath() {
    std::vector<char> buffer(4096);
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    return length > 0 ? std::string(buffer.data(), static_cast<std::size_t>(length)) : "";
}

}  // namespace quorbit
