// SPDX-License-Identifier: Apache-2.0
// A host process full of signals: SIGALRM every N microseconds, its handler installed without
// SA_RESTART so that every blocking call it lands in is cut short.
#pragma once

#include <signal.h>

#include <cstdint>

namespace soak {

class SignalStorm {
  public:
    // Keeps SIGALRM away from threads started in between (the emulator's), until start().
    static void blockForNewThreads();
    // Unblocks it on the calling thread and starts the timer; 0 microseconds does nothing.
    explicit SignalStorm(unsigned intervalMicros);
    ~SignalStorm();  // stops the timer and puts the earlier handler back
    SignalStorm(const SignalStorm&) = delete;
    SignalStorm& operator=(const SignalStorm&) = delete;

    static uint64_t delivered();

  private:
    bool running_ = false;
    struct sigaction previous_ {};
};

}  // namespace soak
