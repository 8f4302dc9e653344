// SPDX-License-Identifier: Apache-2.0
// A helper program the benchmarks start beside themselves (the emulator, the floor's peer), with
// its standard output read line by line. Ended with SIGTERM when the object goes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace krvbench {

class ChildProcess {
  public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // argv[0] is the program's path. cpu >= 0 pins the child to that processor.
    [[nodiscard]] bool start(const std::vector<std::string>& argv, int cpu, std::string& error);
    // Reads lines until one starts with `prefix` and gives the rest of that line; false when the
    // program ends or stays silent for a few seconds.
    [[nodiscard]] bool awaitLine(const std::string& prefix, std::string& rest, std::string& error);
    void stop();
    bool running() const { return pid_ > 0; }
    // User and system CPU time the program has used so far (clock-tick resolution); 0 if gone.
    double cpuSeconds() const;
    // The processor the program's busiest thread last ran on; -1 if gone.
    int lastCpu() const;

  private:
    bool readMore(std::string& error);
    // The fields of a stat file of /proc, numbered as in proc(5) (0..2 left empty).
    std::vector<std::string> statFields(const std::string& path) const;

    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    std::string pending_;
};

// The directory of the running executable: the helper programs are built next to it.
std::string executableDirectory();

}  // namespace krvbench
