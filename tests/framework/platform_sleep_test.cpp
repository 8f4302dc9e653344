// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <vector>

#include "framework/PlatformSleep.h"
#include "framework/PlatformSleepTesting.h"

namespace {

using namespace CsePluginInterface;

TEST(PlatformSleep, RoundsMicrosecondsUpWithoutWrapping) {
    EXPECT_EQ(wholeMillisecondsFor(0), 0u);
    EXPECT_EQ(wholeMillisecondsFor(1), 1u);
    EXPECT_EQ(wholeMillisecondsFor(1000), 1u);
    EXPECT_EQ(wholeMillisecondsFor(1001), 2u);
    EXPECT_EQ(wholeMillisecondsFor(4294966296u), 4294967u);  // 32-bit +999 would still fit
    EXPECT_EQ(wholeMillisecondsFor(4294966297u), 4294967u);  // here it would wrap to 0
    EXPECT_EQ(wholeMillisecondsFor(4294967295u), 4294968u);
}

TEST(PlatformSleep, HookRecordsInsteadOfSleeping) {
    std::vector<uint32_t> sleeps;
    recordSleepsForTesting(&sleeps);
    sleepMilliseconds(4294968u);  // would block for over an hour
    sleepMilliseconds(0);
    recordSleepsForTesting(nullptr);
    EXPECT_EQ(sleeps, (std::vector<uint32_t>{4294968u, 0u}));
}

}  // namespace
