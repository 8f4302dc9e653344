// SPDX-License-Identifier: Apache-2.0
// Replaces the global operator new and delete of the test program: while a thread has armed it,
// its N-th allocation fails (throwing forms throw std::bad_alloc, nothrow forms return null) and
// its allocations and deletions are counted. Other threads (the emulator's) are never touched.
#pragma once

#include <cstdint>

namespace sweep {

// Arms the calling thread: the `failAt`-th allocation from now fails (0: none fails).
void armAllocationFailure(uint64_t failAt);
// Disarms it again and returns how many allocations were asked for while armed.
uint64_t disarmAllocationFailure();
// Whether the armed failure was handed out.
bool allocationFailureInjected();
// Allocations minus deletions while armed: 0 when nothing allocated in that time was kept.
int64_t allocationsStillHeld();

}  // namespace sweep
