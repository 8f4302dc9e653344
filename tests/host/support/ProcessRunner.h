// SPDX-License-Identifier: Apache-2.0
// Runs a program to completion and hands back its exit status and what it wrote.
#pragma once

#include <string>
#include <vector>

namespace hosttest {

struct ProcessResult {
    int exitCode = -1;  // -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Runs `program` with `args` (without argv[0]); stdout and stderr are captured through files.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args);

}  // namespace hosttest
