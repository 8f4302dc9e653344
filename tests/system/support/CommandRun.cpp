// SPDX-License-Identifier: Apache-2.0
#include "support/CommandRun.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>

namespace systemtest {
namespace {

using Clock = std::chrono::steady_clock;

int exitCodeOf(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

CommandRun runCommand(const std::vector<std::string>& argv, int timeLimitSeconds) {
    CommandRun run;
    int pipeFds[2] = {-1, -1};
    if (argv.empty() || ::pipe2(pipeFds, O_CLOEXEC) != 0) return run;
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::dup2(pipeFds[1], STDERR_FILENO);
        ::execv(args[0], args.data());
        _exit(127);
    }
    ::close(pipeFds[1]);
    if (pid < 0) {
        ::close(pipeFds[0]);
        return run;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeLimitSeconds);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd readable = {pipeFds[0], POLLIN, 0};
        if (left <= 0 || ::poll(&readable, 1, static_cast<int>(left)) == 0) {
            run.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        char chunk[4096];
        const ssize_t count = ::read(pipeFds[0], chunk, sizeof chunk);
        if (count <= 0) break;
        run.output.append(chunk, static_cast<size_t>(count));
    }
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    run.exitCode = run.timedOut ? -1 : exitCodeOf(status);
    return run;
}

std::string findOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream directories(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string directory; std::getline(directories, directory, ':');) {
        const std::string candidate = (directory.empty() ? "." : directory) + "/" + program;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

std::vector<std::string> openOcdOverRemoteBitbang(const std::string& openocd, int rbbPort) {
    return {openocd,
            "-c",
            "adapter driver remote_bitbang",
            "-c",
            "remote_bitbang host 127.0.0.1",
            "-c",
            "remote_bitbang port " + std::to_string(rbbPort),
            "-c",
            "transport select jtag",
            "-c",
            "gdb_port disabled",
            "-c",
            "tcl_port disabled",
            "-c",
            "telnet_port disabled"};
}

}  // namespace systemtest
