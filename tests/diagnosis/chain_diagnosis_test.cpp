// SPDX-License-Identifier: Apache-2.0
// diagnose's judgments on made-up TDO streams and IDCODEs.
#include <gtest/gtest.h>

#include "diagnosis/IdcodeFields.h"
#include "diagnosis/PathReading.h"
#include "session/HexBits.h"
#include "session/IrLengthDerivation.h"

namespace {

using csediag::PathReading;

constexpr uint32_t kFlush = 64;

// TDO of the zeros-then-ones stream: `held` bits the path held, then the stream `delay` bits
// late; an open path gives ones after what it held.
std::vector<uint8_t> pathTdo(uint32_t delay, const std::string& held, bool open) {
    std::vector<uint8_t> tdo(2 * kFlush / 8, 0);
    for (uint32_t bit = 0; bit < 2 * kFlush; ++bit) {
        bool value = bit >= delay + kFlush;
        if (bit < held.size()) value = held[bit] == '1';
        if (open && bit >= held.size()) value = true;
        csesession::setBit(tdo.data(), bit, value);
    }
    return tdo;
}

struct PathCase {
    std::vector<uint8_t> tdo;
    PathReading::Kind kind;
    uint32_t length;
};

class PathReadingTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(PathReadingTest, TellsTheFaultFromTheDelay) {
    const PathReading reading = csediag::readPath(GetParam().tdo.data(), kFlush);
    EXPECT_EQ(reading.kind, GetParam().kind);
    EXPECT_EQ(reading.length, GetParam().length);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, PathReadingTest,
    ::testing::Values(PathCase{pathTdo(18, "100000101000", false), PathReading::Kind::kDelayed, 18},
                      PathCase{pathTdo(3, "000", false), PathReading::Kind::kDelayed, 3},
                      PathCase{std::vector<uint8_t>(16, 0x00), PathReading::Kind::kStuckLow, 0},
                      PathCase{std::vector<uint8_t>(16, 0xFF), PathReading::Kind::kStuckHigh, 0},
                      PathCase{pathTdo(0, "", false), PathReading::Kind::kEchoesTdi, 0},
                      PathCase{pathTdo(12, "100010000000", true), PathReading::Kind::kOpen, 12}));

struct IdcodeCase {
    uint32_t idcode;
    const char* problem;  // empty: sound
};

class IdcodeProblemTest : public ::testing::TestWithParam<IdcodeCase> {};

TEST_P(IdcodeProblemTest, FlagsCodesJep106DoesNotAssign) {
    const std::string problem = csediag::idcodeProblem(GetParam().idcode);
    if (*GetParam().problem == '\0') {
        EXPECT_EQ(problem, "");
    } else {
        EXPECT_NE(problem.find(GetParam().problem), std::string::npos) << problem;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Codes, IdcodeProblemTest,
    ::testing::Values(IdcodeCase{0x1234A0D3u, ""},  // bank 1 (continuation 0), id 0x69
                      IdcodeCase{0x151C0EFFu, "id 0x7F"}, IdcodeCase{0x10000001u, "id 0x00"},
                      IdcodeCase{0x10000F03u, "bank 16"}, IdcodeCase{0x10000E02u, "bit 0 clear"}));

TEST(IrSplits, ListsEveryPossibleSplitAndNamesTheDeviceThatDoesNotFit) {
    uint8_t capture[1] = {0x15};  // nearest TDO first: 1,0,1,0,1,0
    auto splits = csesession::listIrSplits(capture, 6, 2, 8);
    ASSERT_EQ(splits.size(), 2u);  // 2+4 and 4+2 (device 0 first)
    EXPECT_EQ(splits[0], (std::vector<uint32_t>{4, 2}));
    EXPECT_EQ(splits[1], (std::vector<uint32_t>{2, 4}));
    EXPECT_EQ(csesession::firstMisfittingDevice(capture, 6, {4, 2}), UINT32_MAX);
    EXPECT_EQ(csesession::firstMisfittingDevice(capture, 6, {3, 3}), 0u);
    EXPECT_EQ(csesession::firstMisfittingDevice(capture, 6, {2, 2}), 2u) << "only the total is off";
}

}  // namespace
