// SPDX-License-Identifier: Apache-2.0
#include "support/BackgroundProgram.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

namespace systemtest {
namespace {

using Clock = std::chrono::steady_clock;

int millisecondsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

BackgroundProgram::BackgroundProgram(const std::vector<std::string>& argv) {
    int pipeFds[2] = {-1, -1};
    if (argv.empty() || ::pipe2(pipeFds, O_CLOEXEC) != 0) return;
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(pipeFds[1], STDOUT_FILENO);
        ::dup2(pipeFds[1], STDERR_FILENO);
        ::execv(args[0], args.data());
        _exit(127);
    }
    ::close(pipeFds[1]);
    outputFd_ = pipeFds[0];
}

BackgroundProgram::~BackgroundProgram() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (outputFd_ >= 0) ::close(outputFd_);
}

bool BackgroundProgram::readSome(int timeLimitMs) {
    pollfd readable = {outputFd_, POLLIN, 0};
    if (outputFd_ < 0 || ::poll(&readable, 1, timeLimitMs) <= 0) return false;
    char chunk[4096];
    const ssize_t count = ::read(outputFd_, chunk, sizeof chunk);
    if (count <= 0) {
        ::close(outputFd_);
        outputFd_ = -1;
        return false;
    }
    output_.append(chunk, static_cast<std::size_t>(count));
    return true;
}

std::string BackgroundProgram::waitForLine(const std::string& text, int timeLimitSeconds) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeLimitSeconds);
    for (;;) {
        const std::size_t at = output_.find(text, scanned_);
        const std::size_t end = at == std::string::npos ? at : output_.find('\n', at);
        if (end != std::string::npos) {
            const std::size_t start = output_.rfind('\n', at);
            scanned_ = end + 1;
            return output_.substr(start == std::string::npos ? 0 : start + 1,
                                  end - (start == std::string::npos ? 0 : start + 1));
        }
        if (!readSome(millisecondsLeft(deadline))) return {};
    }
}

void BackgroundProgram::signal(int number) {
    if (pid_ > 0) ::kill(pid_, number);
}

int BackgroundProgram::wait(int timeLimitSeconds) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeLimitSeconds);
    while (readSome(millisecondsLeft(deadline))) {
    }
    if (outputFd_ >= 0) ::kill(pid_, SIGKILL);  // still writing when the time was up
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

std::vector<std::string> serveArguments(const std::string& cseHost, unsigned udpPort,
                                        const std::vector<std::string>& options) {
    std::vector<std::string> args = {cseHost, "--node", "127.0.0.1", "--port",
                                     std::to_string(udpPort)};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"serve", "--rbb-port", "0"});
    return args;
}

}  // namespace

BridgeProgram::BridgeProgram(const std::string& cseHost, unsigned udpPort,
                             const std::vector<std::string>& options)
    : program(serveArguments(cseHost, udpPort, options)) {
    const std::string line = program.waitForLine("remote_bitbang on ", 120);
    const std::size_t colon = line.rfind(':');
    if (colon != std::string::npos) port = std::stoi(line.substr(colon + 1));
}

}  // namespace systemtest
