// SPDX-License-Identifier: Apache-2.0
#include "support/ChildProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace krvbench {
namespace {

constexpr int kLineWaitMillis = 5000;

// Only async-signal-safe calls between fork and exec: the benchmark process has threads.
[[noreturn]] void becomeChild(char* const* argv, int pipeWrite, int cpu) {
    if (cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        (void)sched_setaffinity(0, sizeof set, &set);
    }
    (void)dup2(pipeWrite, STDOUT_FILENO);
    ::close(pipeWrite);
    ::execv(argv[0], argv);
    _exit(127);
}

}  // namespace

ChildProcess::~ChildProcess() {
    stop();
}

bool ChildProcess::start(const std::vector<std::string>& argv, int cpu, std::string& error) {
    stop();
    int pipeFds[2] = {-1, -1};
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return false;
    }
    if (pid == 0) becomeChild(args.data(), pipeFds[1], cpu);
    ::close(pipeFds[1]);
    pid_ = pid;
    stdoutFd_ = pipeFds[0];
    pending_.clear();
    return true;
}

bool ChildProcess::readMore(std::string& error) {
    pollfd readable = {stdoutFd_, POLLIN, 0};
    const int ready = ::poll(&readable, 1, kLineWaitMillis);
    if (ready <= 0) {
        error =
            "no output from the helper program within " + std::to_string(kLineWaitMillis) + " ms";
        return false;
    }
    char chunk[512];
    const ssize_t count = ::read(stdoutFd_, chunk, sizeof chunk);
    if (count <= 0) {
        error = "the helper program ended before it was ready";
        return false;
    }
    pending_.append(chunk, static_cast<size_t>(count));
    return true;
}

bool ChildProcess::awaitLine(const std::string& prefix, std::string& rest, std::string& error) {
    for (;;) {
        for (size_t end = pending_.find('\n'); end != std::string::npos;
             end = pending_.find('\n')) {
            const std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            if (line.compare(0, prefix.size(), prefix) == 0) {
                rest = line.substr(prefix.size());
                return true;
            }
        }
        if (!readMore(error)) return false;
    }
}

void ChildProcess::stop() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (stdoutFd_ >= 0) ::close(stdoutFd_);
    pid_ = -1;
    stdoutFd_ = -1;
}

std::vector<std::string> ChildProcess::statFields(const std::string& path) const {
    std::vector<std::string> fields;
    if (pid_ <= 0) return fields;
    FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return fields;
    char text[1024] = {};
    const size_t length = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    // The fields after the command name, which is in parentheses and may hold spaces; the
    // first of them is field 3 of proc(5).
    const char* rest = length > 0 ? std::strrchr(text, ')') : nullptr;
    if (rest == nullptr) return fields;
    std::istringstream words(rest + 1);
    fields.assign(3, std::string());
    for (std::string word; words >> word;) fields.push_back(word);
    return fields;
}

namespace {

constexpr size_t kUserTime = 14;
constexpr size_t kSystemTime = 15;
constexpr size_t kProcessor = 39;

double ticksOf(const std::vector<std::string>& fields) {
    if (fields.size() <= kSystemTime) return 0.0;
    return std::stod(fields[kUserTime]) + std::stod(fields[kSystemTime]);
}

}  // namespace

double ChildProcess::cpuSeconds() const {
    // The process's line counts the time of all its threads.
    const double ticks = ticksOf(statFields("/proc/" + std::to_string(pid_) + "/stat"));
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

int ChildProcess::lastCpu() const {
    // The process's own line names its main thread's processor; quorbit-sim works on another
    // thread, so the thread that has used the most time is asked instead.
    const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
    DIR* directory = ::opendir(tasks.c_str());
    if (directory == nullptr) return -1;
    double busiest = -1.0;
    int cpu = -1;
    while (const dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] == '.') continue;
        const std::vector<std::string> fields = statFields(tasks + "/" + entry->d_name + "/stat");
        if (fields.size() <= kProcessor || ticksOf(fields) <= busiest) continue;
        busiest = ticksOf(fields);
        cpu = std::stoi(fields[kProcessor]);
    }
    ::closedir(directory);
    return cpu;
}

std::string executableDirectory() {
    char path[PATH_MAX] = {};
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    std::string text(path, static_cast<size_t>(length));
    const size_t slash = text.rfind('/');
    return slash == std::string::npos ? "." : text.substr(0, slash);
}

}  // namespace krvbench
