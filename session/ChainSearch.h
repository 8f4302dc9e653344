// SPDX-License-Identifier: Apache-2.0
// Chain files for the embedded emulator by name: "long20" stands for long20.chain in the first of
// the installed chain folders that has it, so that a user needs no full path.
#pragma once

#include <string>
#include <vector>

namespace csesession {

// The installed chain folder of a program in programDirectory (ending in a separator or empty).
[[nodiscard]] std::string installedChainFolder(const std::string& programDirectory);

// The path as given when it exists or holds a separator; else NAME.chain (or NAME) in the first
// folder that has it. False for a bare name found nowhere, with an error that names every place
// looked and the chains installed there.
[[nodiscard]] bool findChainFile(const std::string& nameOrPath,
                                 const std::vector<std::string>& folders, std::string& path,
                                 std::string& error);

// The names (without .chain) of the chain files in the folders, sorted, each once.
[[nodiscard]] std::vector<std::string> installedChainNames(const std::vector<std::string>& folders);

}  // namespace csesession
