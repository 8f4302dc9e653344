// SPDX-License-Identifier: Apache-2.0
// A program left running while the test talks to it (cse-host serve): its combined output is
// read line by line as it comes, and it is ended by a signal or by itself.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace systemtest {

class BackgroundProgram {
  public:
    explicit BackgroundProgram(const std::vector<std::string>& argv);  // argv[0]: the path
    ~BackgroundProgram();                                              // kills what still runs
    BackgroundProgram(const BackgroundProgram&) = delete;
    BackgroundProgram& operator=(const BackgroundProgram&) = delete;

    // Reads until a line contains `text` (within the time limit); that line, or empty.
    std::string waitForLine(const std::string& text, int timeLimitSeconds);
    void signal(int number);
    // Waits for the exit (SIGKILL after the time limit); the status, -1 for a signal death.
    int wait(int timeLimitSeconds);
    [[nodiscard]] const std::string& output() const { return output_; }

  private:
    bool readSome(int timeLimitMs);

    pid_t pid_ = -1;
    int outputFd_ = -1;
    std::string output_;
    std::size_t scanned_ = 0;
};

// "cse-host serve" in front of quorbit-sim's UDP port, with the remote_bitbang port it printed (0
// when it did not start).
struct BridgeProgram {
    // `options`: more cse-host options, before the command.
    BridgeProgram(const std::string& cseHost, unsigned udpPort,
                  const std::vector<std::string>& options = {});
    BackgroundProgram program;
    int port = 0;
};

}  // namespace systemtest
