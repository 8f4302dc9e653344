// SPDX-License-Identifier: Apache-2.0
// The quorbit-sim command line, parsed into SimOptions so that tests can check it without
// starting a process.
#pragma once

#include <string>
#include <vector>

#include "sim/QuorbitSim.h"

namespace quorbit {

constexpr std::uint16_t kDefaultUdpPort = 20000;

struct CommandLine {
    SimOptions options;     // port defaults to kDefaultUdpPort here
    std::string chainPath;  // empty: the built-in demo chain
};

enum class CommandLineOutcome { Run, Help, Version, UsageError };

// args excludes the program name. On UsageError, error holds a one-line reason.
CommandLineOutcome parseCommandLine(const std::vector<std::string>& args, CommandLine& line,
                                    std::string& error);

std::string usageText();

}  // namespace quorbit
