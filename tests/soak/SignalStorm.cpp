// SPDX-License-Identifier: Apache-2.0
#include "SignalStorm.h"

#include <sys/time.h>

#include <atomic>

namespace soak {
namespace {

std::atomic<uint64_t> gDelivered{0};

void countSignal(int) {
    gDelivered.fetch_add(1, std::memory_order_relaxed);
}

sigset_t alarmOnly() {
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    return alarm;
}

}  // namespace

void SignalStorm::blockForNewThreads() {
    const sigset_t alarm = alarmOnly();
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
}

SignalStorm::SignalStorm(unsigned intervalMicros) {
    const sigset_t alarm = alarmOnly();
    pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
    if (intervalMicros == 0) return;
    struct sigaction action {};
    action.sa_handler = countSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART
    sigaction(SIGALRM, &action, &previous_);
    const suseconds_t micros = static_cast<suseconds_t>(intervalMicros % 1000000);
    const time_t seconds = static_cast<time_t>(intervalMicros / 1000000);
    const itimerval every{{seconds, micros}, {seconds, micros}};
    setitimer(ITIMER_REAL, &every, nullptr);
    running_ = true;
}

SignalStorm::~SignalStorm() {
    if (!running_) return;
    // Blocked before the timer stops, and what is still pending taken here, so that no late
    // signal meets the earlier handler (SIG_DFL would end the process; valgrind delivers late).
    const sigset_t alarm = alarmOnly();
    pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
    const itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    const timespec now{};
    while (sigtimedwait(&alarm, nullptr, &now) == SIGALRM) {
    }
    sigaction(SIGALRM, &previous_, nullptr);
}

uint64_t SignalStorm::delivered() {
    return gDelivered.load(std::memory_order_relaxed);
}

}  // namespace soak
