// SPDX-License-Identifier: Apache-2.0
// SIGINT and SIGTERM taken in an orderly way: the current plug-in call finishes, then the session
// unlocks, closes and disconnects before cse-host exits 130 or 143. A second signal exits at once.
#pragma once

namespace csehost {

class InterruptWatch {
  public:
    // Blocks the two signals in this thread and every thread started later (the embedded
    // emulator), and takes them on a thread of its own.
    InterruptWatch();
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    // The signal received so far, 0 for none.
    [[nodiscard]] static int received();
    // 128 + the signal: 130 for SIGINT, 143 for SIGTERM.
    [[nodiscard]] static int exitStatus();
    // Called once, on the watching thread, when the first signal arrives (null: nothing).
    static void onInterrupt(void (*action)());
};

}  // namespace csehost
