// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <vector>

#include "framework/JtagChain.h"

namespace {

using namespace CsePluginInterface;

JtagChain chainWithLengths(const std::vector<uint32_t>& lengths) {
    JtagChain chain;
    chain.setCount(static_cast<uint32_t>(lengths.size()));
    for (uint32_t i = 0; i < lengths.size(); ++i) chain.storeIRLength(i, lengths[i]);
    return chain;
}

TEST(JtagChain, NewModelIsEmpty) {
    const JtagChain chain;
    EXPECT_EQ(chain.getCount(), 0u);
    EXPECT_FALSE(chain.allIRLengthsSet());
    EXPECT_EQ(chain.totalIRLength(), 0u);
    EXPECT_EQ(chain.irLength(0), 0u);
    EXPECT_EQ(chain.idCode(0), 0u);
}

TEST(JtagChain, ThreeDevicesOf6And8And10GetTheirPadBits) {
    const JtagChain chain = chainWithLengths({6, 8, 10});
    ASSERT_TRUE(chain.allIRLengthsSet());
    EXPECT_EQ(chain.totalIRLength(), 24u);
    const uint32_t heading[] = {0, 6, 14};
    const uint32_t trailing[] = {18, 10, 0};
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(chain.irHeadingPadBits(i), heading[i]) << "device " << i;
        EXPECT_EQ(chain.irTrailingPadBits(i), trailing[i]) << "device " << i;
        EXPECT_EQ(chain.drHeadingPadBits(i), i);
        EXPECT_EQ(chain.drTrailingPadBits(i), 2u - i);
    }
}

TEST(JtagChain, DRPadBitsAreNotBoundChecked) {
    JtagChain chain;
    EXPECT_EQ(chain.drHeadingPadBits(7), 7u);
    EXPECT_EQ(chain.drTrailingPadBits(0), 0xFFFFFFFFu);
}

TEST(JtagChain, AMissingLengthStopsTheRecomputationAndKeepsEarlierPadBits) {
    JtagChain chain = chainWithLengths({5, 7, 9});
    ASSERT_TRUE(chain.allIRLengthsSet());
    chain.storeIRLength(1, 0);
    chain.storeIRLength(0, 6);
    chain.storeIRLength(2, 10);
    EXPECT_FALSE(chain.allIRLengthsSet());
    EXPECT_EQ(chain.totalIRLength(), 0u);
    EXPECT_EQ(chain.irHeadingPadBits(0), 0u);
    EXPECT_EQ(chain.irTrailingPadBits(2), 0u);
    // Not reached by the walk: the values of the 5/7/9 chain are still there.
    EXPECT_EQ(chain.irHeadingPadBits(1), 5u);
    EXPECT_EQ(chain.irHeadingPadBits(2), 12u);
    EXPECT_EQ(chain.irTrailingPadBits(0), 16u);
    EXPECT_EQ(chain.irTrailingPadBits(1), 9u);
}

TEST(JtagChain, SettingTheLastLengthCompletesAndZeroUnsetsAgain) {
    JtagChain chain = chainWithLengths({4, 0, 4});
    EXPECT_FALSE(chain.allIRLengthsSet());
    chain.storeIRLength(1, 3);
    EXPECT_TRUE(chain.allIRLengthsSet());
    EXPECT_EQ(chain.totalIRLength(), 11u);
    chain.storeIRLength(2, 0);
    EXPECT_FALSE(chain.allIRLengthsSet());
}

TEST(JtagChain, WritesBeyondTheCountAreIgnored) {
    JtagChain chain;
    chain.setCount(2);
    chain.setIDCode(2, 0x1234);
    chain.storeIRLength(2, 8);
    chain.setCount(3);
    EXPECT_EQ(chain.idCode(2), 0u);
    EXPECT_EQ(chain.irLength(2), 0u);
}

TEST(JtagChain, SetCountKeepsRecordsAndStopsAtTheCapacity) {
    JtagChain chain;
    chain.setCount(1);
    chain.setIDCode(0, 0xA);
    chain.setCount(4);
    EXPECT_EQ(chain.idCode(0), 0xAu);
    chain.setCount(kMaxChainDevices + 1);
    EXPECT_EQ(chain.getCount(), kMaxChainDevices);
    EXPECT_EQ(chain.idCode(kMaxChainDevices), 0u);
}

TEST(JtagChain, ClearEmptiesEveryRecord) {
    JtagChain chain = chainWithLengths({6, 8});
    chain.setIDCode(1, 0x55);
    chain.clear();
    EXPECT_EQ(chain.getCount(), 0u);
    EXPECT_FALSE(chain.allIRLengthsSet());
    chain.setCount(2);
    EXPECT_EQ(chain.irLength(0), 0u);
    EXPECT_EQ(chain.idCode(1), 0u);
    EXPECT_EQ(chain.irTrailingPadBits(0), 0u);
}

class ReverseOrder : public ::testing::TestWithParam<uint32_t> {};

TEST_P(ReverseOrder, SwapsWholeRecordsEndForEnd) {
    const uint32_t count = GetParam();
    JtagChain chain;
    chain.setCount(count);
    for (uint32_t i = 0; i < count; ++i) {
        chain.setIDCode(i, 0x100 + i);
        chain.storeIRLength(i, 2 + i);
    }
    chain.reverseOrder();
    ASSERT_EQ(chain.getCount(), count);
    for (uint32_t i = 0; i < count; ++i) {
        EXPECT_EQ(chain.idCode(i), 0x100 + count - 1 - i);
        EXPECT_EQ(chain.irLength(i), 2 + count - 1 - i);
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, ReverseOrder, ::testing::Values(0u, 1u, 2u, 3u, 4u, 255u));

TEST(JtagChain, SameIDCodesComparesCountAndCodesOnly) {
    JtagChain first;
    JtagChain second;
    first.setCount(2);
    second.setCount(2);
    first.setIDCode(0, 0x11);
    second.setIDCode(0, 0x11);
    first.storeIRLength(1, 6);
    EXPECT_TRUE(first.sameIDCodes(second));
    second.setIDCode(1, 0x22);
    EXPECT_FALSE(first.sameIDCodes(second));
    second.setIDCode(1, 0);
    second.setCount(3);
    EXPECT_FALSE(first.sameIDCodes(second));
}

TEST(JtagChain, ReplaceDevicesTakesTheRecordsAndClearsTheFlag) {
    JtagChain model = chainWithLengths({6, 8, 10});
    JtagChain scanned;
    scanned.setCount(2);
    scanned.setIDCode(0, 0xAAAA);
    scanned.setIDCode(1, 0xBBBB);
    model.replaceDevices(scanned);
    EXPECT_EQ(model.getCount(), 2u);
    EXPECT_FALSE(model.allIRLengthsSet());
    EXPECT_EQ(model.idCode(0), 0xAAAAu);
    EXPECT_EQ(model.idCode(1), 0xBBBBu);
    EXPECT_EQ(model.irLength(0), 0u);
    EXPECT_EQ(model.irHeadingPadBits(1), 0u);
    // Records beyond the new count keep what they held.
    model.setCount(3);
    EXPECT_EQ(model.irLength(2), 10u);
}

TEST(JtagChain, ReplaceDevicesWithItselfChangesNothing) {
    JtagChain model = chainWithLengths({6, 8});
    model.replaceDevices(model);
    EXPECT_TRUE(model.allIRLengthsSet());
    EXPECT_EQ(model.totalIRLength(), 14u);
}

}  // namespace
