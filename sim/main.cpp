// SPDX-License-Identifier: Apache-2.0
// quorbit-sim: runs the emulator until SIGINT or SIGTERM.
// Exit status: 0 after a signal, 1 when the emulator cannot start, 2 on a usage error.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "krv/ProjectVersion.h"
#include "sim/ChainLookup.h"
#include "sim/CommandLine.h"
#include "sim/QuorbitSim.h"

namespace {

void printLog(bool verbose, quorbit::LogKind kind, const std::string& line) {
    if (kind == quorbit::LogKind::Refusal) {
        std::fprintf(stderr, "quorbit-sim: %s\n", line.c_str());
    } else if (verbose) {
        std::fprintf(stdout, "%s\n", line.c_str());
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    quorbit::CommandLine line;
    std::string error;
    switch (quorbit::parseCommandLine(args, line, error)) {
        case quorbit::CommandLineOutcome::Help:
            std::cout << quorbit::usageText();
            return 0;
        case quorbit::CommandLineOutcome::Version:
            std::cout << "quorbit-sim " << KRV_PROJECT_VERSION
                      << (*KRV_GIT_COMMIT != '\0' ? " git " : "") << KRV_GIT_COMMIT << "\n";
            return 0;
        case quorbit::CommandLineOutcome::UsageError:
            std::cerr << "quorbit-sim: " << error << "\n";
            return 2;
        case quorbit::CommandLineOutcome::Run:
            break;
    }
    if (!line.chainPath.empty()) {
        const std::string folder = quorbit::installedChainFolder(quorbit::currentExecutablePath());
        const std::string path = quorbit::findChainFile(line.chainPath, folder);
        if (!quorbit::parseChainFile(path, line.options.chain, error)) {
            // Only a name that is no file anywhere was looked up among the installed chains; a
            // file that exists but is wrong keeps its own error alone.
            std::error_code status;
            if (path == line.chainPath && path.find('/') == std::string::npos &&
                !std::filesystem::exists(path, status)) {
                const std::filesystem::path shown =
                    std::filesystem::weakly_canonical(folder, status);
                error += " (nor is " + path + " a chain file in " +
                         (status ? folder : shown.string()) + ")";
            }
            std::cerr << "quorbit-sim: " << error << "\n";
            return 1;
        }
    }
    // The raw-shift log serves in-process inspection; nothing reads it in the program.
    line.options.rawShiftLogCapacity = 0;
    const bool verbose = line.options.verbose;
    line.options.logSink = [verbose](quorbit::LogKind kind, const std::string& text) {
        printLog(verbose, kind, text);
    };

    // Signals are taken by sigwait below, never by the emulator's thread.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    const std::string bindAddress = line.options.bindAddress;
    quorbit::Simulator simulator(std::move(line.options));
    if (!simulator.start(error)) {
        std::cerr << "quorbit-sim: " << error << "\n";
        return 1;
    }
    std::printf("listening on %s:%u\n", bindAddress.c_str(),
                static_cast<unsigned>(simulator.udpPort()));
    if (simulator.rbbPort() >= 0) {
        std::printf("remote_bitbang on %s:%d\n", bindAddress.c_str(), simulator.rbbPort());
    }
    std::fflush(stdout);

    int received = 0;
    // SIGUSR1 shows the counters so far (benchmarks take differences between runs).
    while (sigwait(&signals, &received) == 0 && received == SIGUSR1) {
        const quorbit::SimCounters counters = simulator.counters();
        std::fprintf(stderr,
                     "quorbit-sim: counters: %llu requests, %llu remote_bitbang clocks, %llu "
                     "remote_bitbang rounds answered\n",
                     static_cast<unsigned long long>(counters.requests),
                     static_cast<unsigned long long>(counters.rbbClocks),
                     static_cast<unsigned long long>(counters.rbbAnswerRounds));
    }
    simulator.stop();
    return 0;
}
