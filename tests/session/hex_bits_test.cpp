// SPDX-License-Identifier: Apache-2.0
// Bit counts and hex strings from the command line, and the hex the host prints.
#include <gtest/gtest.h>

#include "session/HexBits.h"

namespace {

using namespace csesession;

struct HexCase {
    const char* text;
    uint32_t bitCount;
    std::vector<uint8_t> bytes;
};

class HexAccepted : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexAccepted, FillsTheBufferLeastSignificantBitFirst) {
    const HexCase& c = GetParam();
    std::vector<uint8_t> buffer;
    std::string error;
    ASSERT_TRUE(parseHexBits(c.text, c.bitCount, buffer, error)) << error;
    EXPECT_EQ(buffer, c.bytes);
}

INSTANTIATE_TEST_SUITE_P(Values, HexAccepted,
                         ::testing::Values(HexCase{"1", 1, {0x01}}, HexCase{"0x3F", 6, {0x3F}},
                                           HexCase{"0X3f", 6, {0x3F}},
                                           HexCase{"abcd", 16, {0xCD, 0xAB}},
                                           HexCase{"1ABCD", 17, {0xCD, 0xAB, 0x01}},
                                           HexCase{"5", 18, {0x05, 0, 0}}, HexCase{"0", 8, {0x00}},
                                           HexCase{"FFFFFFFF", 32, {0xFF, 0xFF, 0xFF, 0xFF}}));

struct HexRefusal {
    const char* text;
    uint32_t bitCount;
    const char* reasonPart;
};

class HexRefused : public ::testing::TestWithParam<HexRefusal> {};

TEST_P(HexRefused, SaysWhatIsWrongAndLeavesNoPartialBuffer) {
    const HexRefusal& c = GetParam();
    std::vector<uint8_t> buffer;
    std::string error;
    EXPECT_FALSE(parseHexBits(c.text, c.bitCount, buffer, error));
    EXPECT_NE(error.find(c.reasonPart), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Values, HexRefused,
                         ::testing::Values(HexRefusal{"", 8, "no digits"},
                                           HexRefusal{"0x", 8, "no digits"},
                                           HexRefusal{"12G", 12, "not a hex digit"},
                                           HexRefusal{"123", 8, "3 digits, more than the 2"},
                                           HexRefusal{"0x7F", 6, "does not fit in 6 bits"},
                                           HexRefusal{"2", 1, "does not fit in 1 bits"},
                                           HexRefusal{"-1", 8, "not a hex digit"},
                                           HexRefusal{"xyz", 8, "holds 'x', which is not a hex"},
                                           HexRefusal{"000000000", 32, "9 digits"}));

TEST(HexBits, FormatsMostSignificantDigitFirstAndIgnoresBitsAboveTheCount) {
    const uint8_t bytes[] = {0xCD, 0xAB, 0xFF};
    EXPECT_EQ(formatHexBits(bytes, 16), "ABCD");
    EXPECT_EQ(formatHexBits(bytes, 17), "1ABCD");
    EXPECT_EQ(formatHexBits(bytes, 6), "0D");
    EXPECT_EQ(formatHexBits(bytes, 1), "1");
}

TEST(HexBits, ParseAndFormatRoundTrip) {
    for (uint32_t bitCount : {1u, 7u, 8u, 9u, 31u, 64u, 129u}) {
        std::string text(static_cast<size_t>((bitCount + 3) / 4), '0');
        for (size_t i = 0; i < text.size(); ++i) text[i] = "0123456789ABCDEF"[(i * 7 + 3) % 16];
        if (bitCount % 4 != 0) text[0] = "0123456789ABCDEF"[(1u << (bitCount % 4)) - 1];
        std::vector<uint8_t> buffer;
        std::string error;
        ASSERT_TRUE(parseHexBits(text, bitCount, buffer, error)) << bitCount << ": " << error;
        EXPECT_EQ(formatHexBits(buffer.data(), bitCount), text);
    }
}

struct CountCase {
    const char* text;
    bool accepted;
    uint32_t value;
};

class BitCount : public ::testing::TestWithParam<CountCase> {};

TEST_P(BitCount, AcceptsOneToTheHostsLimit) {
    const CountCase& c = GetParam();
    uint32_t bitCount = 0;
    std::string error;
    EXPECT_EQ(parseBitCount(c.text, bitCount, error), c.accepted) << error;
    if (c.accepted) {
        EXPECT_EQ(bitCount, c.value);
    } else {
        EXPECT_FALSE(error.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Values, BitCount,
                         ::testing::Values(CountCase{"1", true, 1},
                                           CountCase{"300000", true, 300000},
                                           CountCase{"16777216", true, kMaxHostShiftBits},
                                           CountCase{"0", false, 0},
                                           CountCase{"16777217", false, 0},
                                           CountCase{"99999999999999999999999", false, 0},
                                           CountCase{"", false, 0}, CountCase{"12a", false, 0},
                                           CountCase{"-5", false, 0}, CountCase{"+5", false, 0}));

}  // namespace
