// SPDX-License-Identifier: Apache-2.0
#include "host/InterruptWatch.h"

#include <atomic>
#include <csignal>

#if defined(_WIN32)

namespace csehost {
namespace {

volatile std::sig_atomic_t gReceived = 0;

extern "C" void onSignal(int signal) {
    gReceived = signal;
}

}  // namespace

InterruptWatch::InterruptWatch() {
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
}

InterruptWatch::~InterruptWatch() = default;

int InterruptWatch::received() {
    return gReceived;
}

int InterruptWatch::exitStatus() {
    return 128 + gReceived;
}

void InterruptWatch::onInterrupt(void (*)()) {}

}  // namespace csehost

#else

#include <pthread.h>
#include <unistd.h>

#include <thread>

namespace csehost {
namespace {

std::atomic<int> gReceived{0};
std::atomic<void (*)()> gAction{nullptr};
std::thread gWatcher;

// SIGUSR1 only wakes the watcher when cse-host ends without an interrupt.
sigset_t watchedSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    return signals;
}

void watch() {
    const sigset_t signals = watchedSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0 || signal == SIGUSR1) return;
        int expected = 0;
        if (!gReceived.compare_exchange_strong(expected, signal)) {
            // The second interrupt: the user does not want to wait for the orderly end.
            static const char kText[] = "cse-host: interrupted again; leaving without closing\n";
            (void)!::write(STDERR_FILENO, kText, sizeof kText - 1);
            _exit(128 + signal);
        }
        if (void (*action)() = gAction.load()) action();
    }
}

}  // namespace

InterruptWatch::InterruptWatch() {
    const sigset_t signals = watchedSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    gWatcher = std::thread(watch);
}

InterruptWatch::~InterruptWatch() {
    pthread_kill(gWatcher.native_handle(), SIGUSR1);
    gWatcher.join();
}

int InterruptWatch::received() {
    return gReceived.load();
}

int InterruptWatch::exitStatus() {
    return 128 + gReceived.load();
}

void InterruptWatch::onInterrupt(void (*action)()) {
    gAction.store(action);
    // A signal that came before there was anything to call still counts.
    if (action != nullptr && gReceived.load() != 0) action();
}

}  // namespace csehost

#endif
