// SPDX-License-Identifier: Apache-2.0
#include "framework/PlatformSleep.h"

#include "framework/PlatformSleepTesting.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <cerrno>
#include <ctime>
#endif

namespace CsePluginInterface {
namespace {

std::vector<uint32_t>* recordedSleeps = nullptr;

}  // namespace

void recordSleepsForTesting(std::vector<uint32_t>* sink) noexcept {
    recordedSleeps = sink;
}

void sleepMilliseconds(uint32_t milliseconds) {
    if (recordedSleeps != nullptr) {
        recordedSleeps->push_back(milliseconds);
        return;
    }
    if (milliseconds == 0) return;
#if defined(_WIN32)
    Sleep(milliseconds);
#else
    timespec remaining{};
    remaining.tv_sec = static_cast<time_t>(milliseconds / 1000u);
    remaining.tv_nsec = static_cast<long>(milliseconds % 1000u) * 1000000L;
    // A signal cuts nanosleep short; carry on with the time that is left.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
#endif
}

}  // namespace CsePluginInterface
