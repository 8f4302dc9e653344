// SPDX-License-Identifier: Apache-2.0
// The one operating-system service the framework needs: a blocking sleep in milliseconds.
#pragma once

#include <cstdint>

namespace CsePluginInterface {

// Blocks the calling thread for the given time (returns at once for 0).
void sleepMilliseconds(uint32_t milliseconds);

// Microseconds rounded up to whole milliseconds, computed in 64 bits so the largest request
// (4,294,967,295 us) gives 4,294,968 ms instead of wrapping to 0.
constexpr uint32_t wholeMillisecondsFor(uint32_t microseconds) {
    return static_cast<uint32_t>((static_cast<uint64_t>(microseconds) + 999u) / 1000u);
}

}  // namespace CsePluginInterface
