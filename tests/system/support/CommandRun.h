// SPDX-License-Identifier: Apache-2.0
// Runs another program to completion with a time limit and hands back its combined output.
#pragma once

#include <string>
#include <vector>

namespace systemtest {

struct CommandRun {
    int exitCode = -1;  // -1 when the program did not exit by itself
    bool timedOut = false;
    std::string output;  // standard output and standard error together
};

// argv[0] is the program's path.
CommandRun runCommand(const std::vector<std::string>& argv, int timeLimitSeconds);

// OpenOCD on quorbit-sim's remote_bitbang port, with its own servers closed so that parallel runs
// cannot collide on fixed ports; the caller adds its TAPs and commands.
std::vector<std::string> openOcdOverRemoteBitbang(const std::string& openocd, int rbbPort);

// The full path of a program found on PATH; empty when there is none.
std::string findOnPath(const std::string& program);

}  // namespace systemtest
