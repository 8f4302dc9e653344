// SPDX-License-Identifier: Apache-2.0
// Decoding of requests as the client lays them out: envelopes in both forms, the TAP access size
// header in its three forms, raw-shift blocks, and refusals of lengths that do not add up.
#include <gtest/gtest.h>

#include "sim/RequestDecoder.h"
#include "support/RequestBuilder.h"

namespace {

using quorbit::RawShift;
using quorbit::RequestEnvelope;
using quorbit::TapAccess;
using simtest::Bytes;

RequestEnvelope decoded(const Bytes& message) {
    RequestEnvelope envelope;
    std::string error;
    EXPECT_TRUE(quorbit::decodeEnvelope(message.data(), message.size(), envelope, error)) << error;
    return envelope;
}

TEST(RequestDecoder, AttachIsAShortFormWithoutParameters) {
    const Bytes attach = {0, 0, 0, 0, 0, 0x02, 0x71, 0x01, 0x2A};
    const RequestEnvelope envelope = decoded(attach);
    EXPECT_EQ(envelope.code, 0x71);
    EXPECT_EQ(envelope.subCode, 0x01);
    EXPECT_EQ(envelope.id, 0x2A);
    EXPECT_FALSE(envelope.longForm);
    EXPECT_EQ(envelope.parameterLength, 0u);
}

TEST(RequestDecoder, PinEnableCommandIsShortFormWithItsNul) {
    simtest::RequestBuilder builder;
    const Bytes message = builder.command("JTAG.PIN ENABLE");
    ASSERT_EQ(message.size(), 25u);
    EXPECT_EQ(message[5], 18);
    const RequestEnvelope envelope = decoded(message);
    ASSERT_EQ(envelope.parameterLength, 16u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(envelope.parameters)), "JTAG.PIN ENABLE");
}

TEST(RequestDecoder, LongCommandUsesTheLongForm) {
    simtest::RequestBuilder builder;
    const Bytes message = builder.command(std::string(252, 'x'));
    const RequestEnvelope envelope = decoded(message);
    EXPECT_TRUE(envelope.longForm);
    EXPECT_EQ(envelope.parameterLength, 253u);
}

TEST(RequestDecoder, ReleaseIsAnEndingAccessWithoutSizeHeader) {
    const Bytes release = {0, 0, 0, 0, 0, 0, 0x74, 0x92, 7, 0x05, 0x00, 0x00, 0x00};
    const RequestEnvelope envelope = decoded(release);
    TapAccess access;
    std::string error;
    ASSERT_TRUE(quorbit::decodeTapAccess(envelope, access, error)) << error;
    EXPECT_TRUE(access.ends);
    EXPECT_FALSE(access.hasSizeHeader);
}

struct SizeHeaderCase {
    const char* name;
    Bytes header;
    std::uint32_t bits;
};

class SizeHeaderTest : public ::testing::TestWithParam<SizeHeaderCase> {};

TEST_P(SizeHeaderTest, CountIsReadFromEachForm) {
    const SizeHeaderCase c = GetParam();
    Bytes parameters = c.header;
    parameters.resize(parameters.size() + (c.bits + 7) / 8, 0x5A);
    Bytes message = {0, 0, 0, 0, 0, 0, 0x74, 0x93, 1};
    simtest::putLe16(message, static_cast<std::uint16_t>(parameters.size() + 4));
    message.insert(message.end(), parameters.begin(), parameters.end());
    if ((message.size() - 5) % 2 != 0) message.push_back(0);
    TapAccess access;
    std::string error;
    ASSERT_TRUE(quorbit::decodeTapAccess(decoded(message), access, error)) << error;
    EXPECT_EQ(access.bitCount, c.bits);
    EXPECT_EQ(access.flags, 0xF);
    EXPECT_EQ(access.sendLength, (c.bits + 7) / 8);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, SizeHeaderTest,
    ::testing::Values(SizeHeaderCase{"Nibble14", {0xFE}, 14},
                      SizeHeaderCase{"Byte15", {0xFF, 15}, 15},
                      SizeHeaderCase{"Byte254", {0xFF, 254}, 254},
                      SizeHeaderCase{"Word255", {0xFF, 0xFF, 255, 0, 0, 0}, 255},
                      SizeHeaderCase{"Word122880", {0xFF, 0xFF, 0x00, 0xE0, 0x01, 0x00}, 122880}),
    [](const ::testing::TestParamInfo<SizeHeaderCase>& info) { return info.param.name; });

TEST(RequestDecoder, ResetShiftOfSixTmsOnesMatchesTheClientsBytes) {
    const Bytes parameters = {0xEF, 0x48, 0x90, 0x00, 0x01, 0x00, 0x06, 0x00, 0x00, 0x00, 0xFF};
    Bytes message = {0, 0, 0, 0, 0, 0, 0x74, 0x93, 3, 15, 0};
    message.insert(message.end(), parameters.begin(), parameters.end());
    message.push_back(0);  // filler to an even body
    ASSERT_EQ(message.size(), 23u);
    TapAccess access;
    std::string error;
    ASSERT_TRUE(quorbit::decodeTapAccess(decoded(message), access, error)) << error;
    std::vector<RawShift> shifts;
    ASSERT_TRUE(quorbit::decodeRawShifts(access.sendData, access.sendLength, 100, shifts, error))
        << error;
    ASSERT_EQ(shifts.size(), 1u);
    EXPECT_EQ(shifts[0].bitCount, 6u);
    ASSERT_NE(shifts[0].tms, nullptr);
    EXPECT_EQ(shifts[0].tms[0], 0xFF);
    EXPECT_EQ(shifts[0].tdi, nullptr);
    EXPECT_FALSE(shifts[0].tdoWanted);
}

TEST(RequestDecoder, TdoOnlyBlockCountsItsFillerAndLastTmsOption) {
    const Bytes block = {0x90, 0x00, 0x0C, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00};
    std::vector<RawShift> shifts;
    std::string error;
    ASSERT_TRUE(quorbit::decodeRawShifts(block.data(), block.size(), 100, shifts, error)) << error;
    ASSERT_EQ(shifts.size(), 1u);
    EXPECT_TRUE(shifts[0].tdoWanted);
    EXPECT_TRUE(shifts[0].lastTmsHigh);
    EXPECT_EQ(shifts[0].tms, nullptr);
    EXPECT_EQ(shifts[0].tdi, nullptr);
}

struct BadMessage {
    const char* name;
    Bytes message;
    const char* error;
};

class EnvelopeErrorTest : public ::testing::TestWithParam<BadMessage> {};

TEST_P(EnvelopeErrorTest, RefusedWithReason) {
    RequestEnvelope envelope;
    std::string error;
    EXPECT_FALSE(quorbit::decodeEnvelope(GetParam().message.data(), GetParam().message.size(),
                                         envelope, error));
    EXPECT_EQ(error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, EnvelopeErrorTest,
    ::testing::Values(
        BadMessage{"TooShort",
                   {0, 0, 0, 0, 0, 2, 0x71, 1},
                   "request of 8 bytes is shorter than its envelope"},
        BadMessage{
            "HeadNotZero", {0, 0, 1, 0, 0, 2, 0x71, 1, 1}, "request head byte 2 is not zero"},
        BadMessage{"ShortLengthOne",
                   {0, 0, 0, 0, 0, 1, 0x71, 1, 1},
                   "short-form length byte 1 is below the minimum of 2"},
        BadMessage{"ShortLengthTooBig",
                   {0, 0, 0, 0, 0, 10, 0x72, 2, 1, 'a', 0},
                   "request length 11 does not match its length field (17 expected)"},
        BadMessage{"LongWithoutLength",
                   {0, 0, 0, 0, 0, 0, 0x74, 0x93, 1, 5},
                   "long-form request of 10 bytes has no length field"},
        BadMessage{"LongLengthBelowFour",
                   {0, 0, 0, 0, 0, 0, 0x74, 0x93, 1, 3, 0},
                   "long-form length 3 is below the minimum of 4"},
        BadMessage{"LongLengthPastTheEnd",
                   {0, 0, 0, 0, 0, 0, 0x74, 0x93, 1, 0xFF, 0x3F, 0, 0},
                   "request length 13 does not match its length field (16391 expected)"}),
    [](const ::testing::TestParamInfo<BadMessage>& info) { return info.param.name; });

struct BadBlock {
    const char* name;
    Bytes block;
    std::size_t maxTdo;
    const char* error;
};

class RawShiftErrorTest : public ::testing::TestWithParam<BadBlock> {};

TEST_P(RawShiftErrorTest, RefusedWithReason) {
    std::vector<RawShift> shifts;
    std::string error;
    EXPECT_FALSE(quorbit::decodeRawShifts(GetParam().block.data(), GetParam().block.size(),
                                          GetParam().maxTdo, shifts, error));
    EXPECT_EQ(error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, RawShiftErrorTest,
    ::testing::Values(BadBlock{"HeadCutShort",
                               {0x90, 0, 1, 0, 6},
                               100,
                               "raw-shift block head cut short (5 bytes)"},
                      BadBlock{"NotARawShift",
                               {0x91, 0, 1, 0, 6, 0, 0, 0, 0xFF},
                               100,
                               "TAP command 0x91 0x00 is not a raw shift"},
                      BadBlock{"DataMissing",
                               {0x90, 0, 3, 0, 16, 0, 0, 0, 1, 2, 3},
                               100,
                               "raw shift of 16 bits needs 12 bytes, 11 present"},
                      BadBlock{"HugeBitCount",
                               {0x90, 0, 2, 0, 0xFF, 0xFF, 0xFF, 0xFF},
                               100,
                               "raw shift of 4294967295 bits needs 536870920 bytes, 8 present"},
                      BadBlock{"TdoTooLong",
                               {0x90, 0, 6, 0, 64, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8},
                               7,
                               "TDO of 8 bytes would not fit in a reply"},
                      BadBlock{"TrailingGarbage",
                               {0x90, 0, 1, 0, 1, 0, 0, 0, 1, 0x90},
                               100,
                               "raw-shift block head cut short (1 bytes)"}),
    [](const ::testing::TestParamInfo<BadBlock>& info) { return info.param.name; });

struct BadAccess {
    const char* name;
    std::uint8_t subCode;
    Bytes parameters;
    const char* error;
};

class TapAccessErrorTest : public ::testing::TestWithParam<BadAccess> {};

TEST_P(TapAccessErrorTest, RefusedWithReason) {
    const BadAccess& c = GetParam();
    RequestEnvelope envelope;
    envelope.code = 0x74;
    envelope.subCode = c.subCode;
    envelope.longForm = true;
    envelope.parameters = c.parameters.data();
    envelope.parameterLength = c.parameters.size();
    TapAccess access;
    std::string error;
    EXPECT_FALSE(quorbit::decodeTapAccess(envelope, access, error));
    EXPECT_EQ(error, c.error);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, TapAccessErrorTest,
    ::testing::Values(
        BadAccess{"UnknownSubCode", 0x95, {0}, "TAP access sub-code 0x95 is not known"},
        BadAccess{"EndWithoutZero",
                  0x92,
                  {0xE1, 0x01},
                  "ending TAP access lacks its terminating zero byte"},
        BadAccess{"CountByteMissing", 0x93, {0xEF}, "size header ends before its count byte"},
        BadAccess{"WordCountMissing",
                  0x93,
                  {0xEF, 0xFF, 1, 0},
                  "size header ends before its 32-bit count"},
        BadAccess{"DataShort", 0x93, {0xEF, 16, 1}, "TAP access announces 2 data bytes, 1 present"},
        BadAccess{
            "BytesAfterData", 0x93, {0xE8, 0xAA, 0xBB}, "TAP access has 1 bytes after its data"}),
    [](const ::testing::TestParamInfo<BadAccess>& info) { return info.param.name; });

}  // namespace
