// SPDX-License-Identifier: Apache-2.0
#include "support/ProcessRunner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

extern char** environ;

namespace hosttest {
namespace {

std::string temporaryFile() {
    char path[] = "/tmp/host_test_XXXXXX";
    const int fd = mkstemp(path);
    if (fd >= 0) close(fd);
    return path;
}

std::string readAndRemove(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    std::remove(path.c_str());
    return content.str();
}

}  // namespace

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args) {
    ProcessResult result;
    const std::string outPath = temporaryFile();
    const std::string errPath = temporaryFile();

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned == 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    }
    result.out = readAndRemove(outPath);
    result.err = readAndRemove(errPath);
    return result;
}

}  // namespace hosttest
