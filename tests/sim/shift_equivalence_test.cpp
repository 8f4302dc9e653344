// SPDX-License-Identifier: Apache-2.0
// The word-wise fast paths against plain bit-by-bit models: a shift register against a bit list,
// and VirtualChain::shift against the same clocks given one at a time through clock().
#include <gtest/gtest.h>

#include <deque>
#include <random>

#include "sim/BitBuffer.h"
#include "sim/ShiftRegister.h"
#include "sim/VirtualChain.h"
#include "support/ChainDriver.h"

namespace {

using quorbit::ShiftRegister;
using quorbit::VirtualChain;

class ShiftRegisterWidthTest : public ::testing::TestWithParam<unsigned> {};

TEST_P(ShiftRegisterWidthTest, WordShiftsEqualABitQueue) {
    const unsigned width = GetParam();
    ShiftRegister reg(width);
    std::deque<bool> model(width, false);  // front = next bit out
    std::mt19937_64 random(width);
    for (int round = 0; round < 400; ++round) {
        const unsigned count = 1 + static_cast<unsigned>(random() % 64);
        const std::uint64_t in = random() & quorbit::lowBitMask(count);
        std::uint64_t expected = 0;
        for (unsigned j = 0; j < count; ++j) {
            if (model.front()) expected |= std::uint64_t{1} << j;
            model.pop_front();
            model.push_back(((in >> j) & 1u) != 0);
        }
        ASSERT_EQ(reg.shift(in, count), expected) << "round " << round << " count " << count;
        ASSERT_EQ(reg.outBit(), model.front());
    }
    std::vector<std::uint64_t> words(reg.wordCount());
    reg.store(words.data());
    for (unsigned k = 0; k < width; ++k) {
        ASSERT_EQ(((words[k / 64] >> (k % 64)) & 1u) != 0, model[k]) << "bit " << k;
    }
}

TEST_P(ShiftRegisterWidthTest, LoadThenStoreGivesTheSameBits) {
    const unsigned width = GetParam();
    ShiftRegister reg(width);
    std::mt19937_64 random(width + 1);
    std::vector<std::uint64_t> words(reg.wordCount());
    for (auto& word : words) word = random();
    if (width % 64 != 0) words.back() &= quorbit::lowBitMask(width % 64);
    reg.shift(random() & 0x1F, 5);  // move a ring's head away from zero first
    reg.load(words.data());
    std::vector<std::uint64_t> stored(reg.wordCount());
    reg.store(stored.data());
    EXPECT_EQ(stored, words);
}

INSTANTIATE_TEST_SUITE_P(Widths, ShiftRegisterWidthTest,
                         ::testing::Values(1u, 2u, 31u, 32u, 63u, 64u, 65u, 127u, 128u, 130u,
                                           1000u));

quorbit::ChainDescription mixedChain() {
    quorbit::ChainDescription description;
    description.devices.push_back({"a", 5, 0x10000001u, 0x1, {{0x2, 7}, {0x3, 200}}});
    description.devices.push_back({"b", 9, std::nullopt, 0, {{0x4, 64}}});
    description.devices.push_back({"c", 3, 0x20000001u, 0x1, {{0x2, 65}}});
    return description;
}

simtest::BitBytes randomBits(std::mt19937_64& random, std::uint64_t bits, unsigned onePercent) {
    simtest::BitBytes bytes((bits + 7) / 8, 0);
    for (std::uint64_t k = 0; k < bits; ++k) {
        if (random() % 100 < onePercent) bytes[k / 8] |= static_cast<std::uint8_t>(1u << (k % 8));
    }
    return bytes;
}

TEST(ChainShiftEquivalence, WordWiseShiftEqualsClockByClock) {
    std::mt19937_64 random(2024);
    VirtualChain fast(mixedChain());
    VirtualChain slow(mixedChain());
    for (int round = 0; round < 300; ++round) {
        const std::uint64_t bits = 1 + random() % 700;
        // Sparse TMS ones: long runs in the shift states, with state changes in between, and
        // IR scans that select the wide registers now and then.
        const auto tms = randomBits(random, bits, round % 3 == 0 ? 0 : 3);
        const auto tdi = randomBits(random, bits, 50);
        const bool useTms = round % 5 != 4;
        const bool lastTmsHigh = random() % 2 == 0;
        simtest::BitBytes fastTdo((bits + 7) / 8, 0);
        fast.shift(bits, useTms ? tms.data() : nullptr, tdi.data(), fastTdo.data(), lastTmsHigh);
        simtest::BitBytes slowTdo((bits + 7) / 8, 0);
        for (std::uint64_t k = 0; k < bits; ++k) {
            bool tmsBit = useTms && ((tms[k / 8] >> (k % 8)) & 1u);
            if (lastTmsHigh && k + 1 == bits) tmsBit = true;
            const bool out = slow.clock(tmsBit, (tdi[k / 8] >> (k % 8)) & 1u);
            if (out) slowTdo[k / 8] |= static_cast<std::uint8_t>(1u << (k % 8));
        }
        ASSERT_EQ(fastTdo, slowTdo) << "round " << round << ", " << bits << " bits";
        ASSERT_EQ(fast.state(), slow.state()) << "round " << round;
        for (std::size_t d = 0; d < 3; ++d) ASSERT_EQ(fast.instruction(d), slow.instruction(d));
    }
    std::vector<std::uint8_t> fastValue;
    std::vector<std::uint8_t> slowValue;
    ASSERT_TRUE(fast.userRegister(0, 0x3, fastValue));
    ASSERT_TRUE(slow.userRegister(0, 0x3, slowValue));
    EXPECT_EQ(fastValue, slowValue);
}

TEST(ChainShiftEquivalence, LongShiftDrRunMatchesAtOddOffsets) {
    // A long DR run entered at a bit offset that is not a multiple of 8 or 64.
    for (const std::size_t idleClocks : {1u, 2u, 6u, 11u}) {
        VirtualChain fast(mixedChain());
        VirtualChain slow(mixedChain());
        std::mt19937_64 random(idleClocks);
        // Reset, some clocks in Run-Test/Idle, Select-DR, Capture-DR, then Shift-DR for the rest.
        std::vector<int> head = {1, 1, 1, 1, 1};
        head.resize(head.size() + idleClocks, 0);
        head.insert(head.end(), {1, 0, 0});
        const std::uint64_t bits = head.size() + 5000;
        simtest::BitBytes tms((bits + 7) / 8, 0);
        for (std::size_t k = 0; k < head.size(); ++k) {
            if (head[k] != 0) tms[k / 8] |= static_cast<std::uint8_t>(1u << (k % 8));
        }
        const auto tdi = randomBits(random, bits, 50);
        simtest::BitBytes fastTdo((bits + 7) / 8, 0);
        simtest::BitBytes slowTdo((bits + 7) / 8, 0);
        fast.shift(bits, tms.data(), tdi.data(), fastTdo.data(), true);
        for (std::uint64_t k = 0; k < bits; ++k) {
            const bool tmsBit = ((tms[k / 8] >> (k % 8)) & 1u) || k + 1 == bits;
            if (slow.clock(tmsBit, (tdi[k / 8] >> (k % 8)) & 1u)) {
                slowTdo[k / 8] |= static_cast<std::uint8_t>(1u << (k % 8));
            }
        }
        EXPECT_EQ(fastTdo, slowTdo) << idleClocks << " idle clocks";
        EXPECT_EQ(fast.state(), slow.state());
    }
}

}  // namespace
