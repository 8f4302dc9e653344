// SPDX-License-Identifier: Apache-2.0
// The host's five callbacks registered for the duration of one benchmark, doing what a typical
// host does with each: format the line into a buffer of its own (before it would show or write
// it), and nothing more. A null set registers nothing.
#pragma once

#include "support/HostCall.h"

namespace krvbench {

class ScopedHostCallbacks {
  public:
    explicit ScopedHostCallbacks(HostCallbacks callbacks);
    ~ScopedHostCallbacks();
    ScopedHostCallbacks(const ScopedHostCallbacks&) = delete;
    ScopedHostCallbacks& operator=(const ScopedHostCallbacks&) = delete;

  private:
    bool installed_ = false;
};

// Lines the callbacks have formatted so far (so the work cannot be optimised away).
uint64_t formattedLines();

}  // namespace krvbench
