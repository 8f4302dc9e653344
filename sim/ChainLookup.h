// SPDX-License-Identifier: Apache-2.0
// Chain files by name: "long20" stands for long20.chain among the chain files installed with the
// program (share/quorbit-sim/ under its prefix), so that an installed system needs no full path.
#pragma once

#include <string>

namespace quorbit {

// The folder of installed chain files for a program at executablePath (<prefix>/bin/program).
std::string installedChainFolder(const std::string& executablePath);

// value itself when it names an existing file or holds a '/', else the installed chain file it
// names (with or without .chain) when there is one, else value unchanged.
std::string findChainFile(const std::string& value, const std::string& chainFolder);

// The path of the running program ("" when the system does not tell).
std::string currentExecutablePath();

}  // namespace quorbit
