// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>

#include "LinkFixture.h"
#include "remote/LinkRoutines.h"
#include "remote/RemoteLink.h"
#include "remote/RemoteLinkTesting.h"

namespace {

using LinkConfigTest = LinkFixture;

const RemoteLinkState& link() {
    return LinkStateForTest();
}

struct DecimalCase {
    const char* text;
    int value;
};

class LinkParseDecimalTest : public ::testing::TestWithParam<DecimalCase> {};

TEST_P(LinkParseDecimalTest, ReadsDigitsOnlyAndWithin32Bits) {
    EXPECT_EQ(LinkParseDecimal(GetParam().text), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Texts, LinkParseDecimalTest,
                         ::testing::Values(DecimalCase{"", 0}, DecimalCase{"0", 0},
                                           DecimalCase{"20000", 20000}, DecimalCase{"007", 7},
                                           DecimalCase{"2147483647", 2147483647},
                                           DecimalCase{"2147483648", -1},
                                           DecimalCase{"99999999999999999999", -1},
                                           DecimalCase{"-1", -1}, DecimalCase{"5s", -1},
                                           DecimalCase{" 5", -1}, DecimalCase{"+5", -1}));

struct PortCase {
    const char* key;
    const char* value;
    int result;
    uint16_t expected;  // the port afterwards; 1234 was set before
};

class LinkPortItemTest : public LinkFixture, public ::testing::WithParamInterface<PortCase> {};

TEST_P(LinkPortItemTest, KeepsLow16BitsOrLeavesValueAlone) {
    const PortCase& item = GetParam();
    const bool local = std::string(item.key) == "HOSTPORT=";
    setItem(local ? "HOSTPORT=" : "PORT=", "1234");
    EXPECT_EQ(KRV_SetConfigItem(item.key, item.value), item.result);
    EXPECT_EQ(local ? link().localPort : link().peerPort, item.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Values, LinkPortItemTest,
    ::testing::Values(PortCase{"PORT=", "", 0, 0}, PortCase{"PORT=", "70000", 0, 4464},
                      PortCase{"PORT=", "20001", 0, 20001}, PortCase{"PORT=", "-1", -1, 1234},
                      PortCase{"PORT=", "4294967296", -1, 1234}, PortCase{"port=", "1", -1, 1234},
                      PortCase{"HOSTPORT=", "65535", 0, 65535},
                      PortCase{"HOSTPORT=", "x", -1, 1234}));

TEST_F(LinkConfigTest, TimeoutTakesWholeSecondsOnly) {
    setItem("TIMEOUT=", "7");
    EXPECT_EQ(KRV_SetConfigItem("TIMEOUT=", "5s"), -1);
    EXPECT_EQ(KRV_SetConfigItem("TIMEOUT=", "2147483648"), -1);
    EXPECT_EQ(link().replyTimeoutSeconds, 7);
    EXPECT_EQ(KRV_SetConfigItem("TIMEOUT=", "2147483647"), 0);
    EXPECT_EQ(link().replyTimeoutSeconds, 2147483647);
}

struct PacketLengthCase {
    const char* value;
    int result;
    int expected;  // 1000 was set before
};

class LinkPacketLengthTest : public LinkFixture,
                             public ::testing::WithParamInterface<PacketLengthCase> {};

// Below 16 the handshake has no room for its magic; above 1472 it overflows its buffers.
TEST_P(LinkPacketLengthTest, AcceptsOnly16To1472) {
    setItem("PACKLEN=", "1000");
    EXPECT_EQ(KRV_SetConfigItem("PACKLEN=", GetParam().value), GetParam().result);
    EXPECT_EQ(link().packetLength, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, LinkPacketLengthTest,
    ::testing::Values(PacketLengthCase{"16", 0, 16}, PacketLengthCase{"1472", 0, 1472},
                      PacketLengthCase{"600", 0, 600}, PacketLengthCase{"15", -1, 1000},
                      PacketLengthCase{"0", -1, 1000}, PacketLengthCase{"1473", -1, 1000},
                      PacketLengthCase{"", -1, 1000}));

TEST_F(LinkConfigTest, NodeNameOf79CharactersIsKeptWhole) {
    const std::string name(79, 'n');
    setItem("NODE=", name);
    EXPECT_EQ(std::string(link().nodeName), name);
}

// A cut name would reach a different host.
TEST_F(LinkConfigTest, NodeNameOf80CharactersIsRefusedNotCut) {
    setItem("NODE=", "debugger.example");
    EXPECT_EQ(KRV_SetConfigItem("NODE=", std::string(80, 'n').c_str()), -1);
    EXPECT_STREQ(link().nodeName, "debugger.example");
}

TEST_F(LinkConfigTest, JoinedLineOf255CharactersIsTheLongestAccepted) {
    EXPECT_EQ(KRV_SetConfigItem("PORT=", (std::string(248, '0') + "42").c_str()), 0);
    EXPECT_EQ(link().peerPort, 42);
    EXPECT_EQ(KRV_SetConfigItem("PORT=", (std::string(249, '0') + "43").c_str()), -1);
    EXPECT_EQ(link().peerPort, 42);
}

TEST_F(LinkConfigTest, UnknownKeysAndMissingTextsAreRefused) {
    EXPECT_EQ(KRV_SetConfigItem("SPEED=", "1"), -1);
    EXPECT_EQ(KRV_SetConfigItem("NODE", "x"), -1);
    EXPECT_EQ(KRV_SetConfigItem(nullptr, "1"), -1);
    EXPECT_EQ(KRV_SetConfigItem("PORT=", nullptr), -1);
    EXPECT_EQ(LinkParseConfigLine("NODE=whole.line"), 1);
    EXPECT_STREQ(link().nodeName, "whole.line");
}

}  // namespace
