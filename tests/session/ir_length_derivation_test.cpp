// SPDX-License-Identifier: Apache-2.0
// Measuring the IR path and splitting its captured pattern into the devices.
#include <gtest/gtest.h>

#include <string>

#include "session/HexBits.h"
#include "session/IrLengthDerivation.h"

namespace {

using namespace csesession;

// Captured bits, written nearest TDO first as a string of '0' and '1'.
std::vector<uint8_t> bitsOf(const std::string& text) {
    std::vector<uint8_t> buffer((text.size() + 7) / 8, 0);
    for (size_t i = 0; i < text.size(); ++i)
        setBit(buffer.data(), static_cast<uint32_t>(i), text[i] == '1');
    return buffer;
}

// What a chain of IR lengths captures: each device 1, 0 and then `filler` bits.
std::string capturesOf(const std::vector<uint32_t>& lengthsFromTdo, char filler = '0') {
    std::string text;
    for (uint32_t length : lengthsFromTdo) text += "10" + std::string(length - 2, filler);
    return text;
}

// The TDO of the measuring stream through a chain with this capture.
std::vector<uint8_t> measuringTdo(const std::string& capture, uint32_t flushBits) {
    std::string stream = capture + std::string(flushBits, '0');
    stream += std::string(2 * flushBits - stream.size(), '1');
    return bitsOf(stream);
}

TEST(IrMeasureStream, IsZerosThenOnes) {
    const std::vector<uint8_t> stream = buildIrMeasureStream(16);
    EXPECT_EQ(stream, (std::vector<uint8_t>{0x00, 0x00, 0xFF, 0xFF}));
}

TEST(MeasureTotalIrLength, FindsTheLengthFromWhereTheOnesComeOut) {
    for (uint32_t total : {2u, 18u, 63u, 500u}) {
        const std::string capture = capturesOf({total}, '1');
        uint32_t measured = 0;
        std::string error;
        ASSERT_TRUE(measureTotalIrLength(measuringTdo(capture, 1024).data(), 1024, measured, error))
            << error;
        EXPECT_EQ(measured, total);
    }
}

TEST(MeasureTotalIrLength, RefusesStuckTdoAndOverlongPaths) {
    uint32_t measured = 0;
    std::string error;
    const std::vector<uint8_t> ones(8, 0xFF);
    EXPECT_FALSE(measureTotalIrLength(ones.data(), 32, measured, error));
    EXPECT_NE(error.find("stuck at 1"), std::string::npos);
    const std::vector<uint8_t> zeros(8, 0x00);
    EXPECT_FALSE(measureTotalIrLength(zeros.data(), 32, measured, error));
    EXPECT_NE(error.find("never came out"), std::string::npos);
    // Fewer zeros than were shifted in cannot come from a working chain.
    const std::vector<uint8_t> shortZeros = bitsOf(std::string(10, '0') + std::string(54, '1'));
    EXPECT_FALSE(measureTotalIrLength(shortZeros.data(), 32, measured, error));
}

TEST(DeriveIrLengths, DemoLikeChainHasExactlyOneReading) {
    // Devices 0, 1, 2 have 6, 8 and 4 bits; device 2 is nearest TDO and comes out first.
    const std::vector<uint8_t> capture = bitsOf(capturesOf({4, 8, 6}));
    const IrSplit split = deriveIrLengths(capture.data(), 18, 3);
    ASSERT_EQ(split.outcome, IrSplit::Outcome::kUnique);
    EXPECT_EQ(split.lengths, (std::vector<uint32_t>{6, 8, 4}));
}

TEST(DeriveIrLengths, OnesAboveTheLowBitsCanMakeItAmbiguous) {
    // "1010" could be one 4-bit device or two 2-bit ones; with two devices in 6 bits:
    // 10|1010 or 1010|10.
    const std::vector<uint8_t> capture = bitsOf("101010");
    EXPECT_EQ(deriveIrLengths(capture.data(), 6, 2).outcome, IrSplit::Outcome::kAmbiguous);
    EXPECT_EQ(deriveIrLengths(capture.data(), 6, 3).outcome, IrSplit::Outcome::kUnique);
    EXPECT_EQ(deriveIrLengths(capture.data(), 6, 1).outcome, IrSplit::Outcome::kUnique);
}

TEST(DeriveIrLengths, PatternThatFitsNoSplitIsReportedAsSuch) {
    const std::vector<uint8_t> capture = bitsOf("011000");  // first device does not start with 1, 0
    EXPECT_EQ(deriveIrLengths(capture.data(), 6, 2).outcome, IrSplit::Outcome::kNone);
    const std::vector<uint8_t> demo = bitsOf(capturesOf({4, 8, 6}));
    EXPECT_EQ(deriveIrLengths(demo.data(), 18, 4).outcome, IrSplit::Outcome::kNone);
    EXPECT_EQ(deriveIrLengths(demo.data(), 18, 0).outcome, IrSplit::Outcome::kNone);
    EXPECT_EQ(deriveIrLengths(demo.data(), 18, 10).outcome, IrSplit::Outcome::kNone)
        << "more devices than two-bit slots";
}

TEST(DeriveIrLengths, LongChainsAreSplitWithoutCountingEverySplit) {
    std::vector<uint32_t> fromTdo;
    for (int i = 0; i < 200; ++i) fromTdo.push_back(2 + static_cast<uint32_t>(i % 9));
    const std::string text = capturesOf(fromTdo);
    const std::vector<uint8_t> capture = bitsOf(text);
    const IrSplit split = deriveIrLengths(capture.data(), static_cast<uint32_t>(text.size()), 200);
    ASSERT_EQ(split.outcome, IrSplit::Outcome::kUnique);
    EXPECT_EQ(split.lengths, std::vector<uint32_t>(fromTdo.rbegin(), fromTdo.rend()));

    // With "10" repeated everywhere the number of splits explodes; the answer stays "ambiguous".
    std::string repeated;
    for (int i = 0; i < 2000; ++i) repeated += "10";
    const std::vector<uint8_t> many = bitsOf(repeated);
    EXPECT_EQ(deriveIrLengths(many.data(), 4000, 100).outcome, IrSplit::Outcome::kAmbiguous);
}

// Given lengths against the captured pattern 1,0,1,0,1,0 (nearest TDO first).
struct MisfitCase {
    std::vector<uint32_t> lengths;
    uint32_t misfit;
};

class FirstMisfittingDevice : public ::testing::TestWithParam<MisfitCase> {};

TEST_P(FirstMisfittingDevice, NamesTheDeviceOrTheTotal) {
    const uint8_t capture[1] = {0x15};
    EXPECT_EQ(firstMisfittingDevice(capture, 6, GetParam().lengths), GetParam().misfit);
}

INSTANTIATE_TEST_SUITE_P(
    Captured101010, FirstMisfittingDevice,
    ::testing::Values(MisfitCase{{4, 2}, UINT32_MAX}, MisfitCase{{2, 2, 2}, UINT32_MAX},
                      MisfitCase{{3, 3}, 0u}, MisfitCase{{2, 2}, 2u},  // 4 bits, the path has 6
                      MisfitCase{{4, 4}, 2u}));  // 8 bits that each start 1,0 still overrun it

}  // namespace
