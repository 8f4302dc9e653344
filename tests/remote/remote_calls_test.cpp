// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LinkFixture.h"
#include "remote/LinkRoutines.h"
#include "remote/RemoteLink.h"
#include "remote/RemoteLinkTesting.h"

namespace {

const RemoteLinkState& link() {
    return LinkStateForTest();
}

Bytes fragmentHeader(uint16_t sequence, uint8_t continuation = 0) {
    return {LINK_DATA_OUT, continuation, static_cast<uint8_t>(sequence),
            static_cast<uint8_t>(sequence >> 8)};
}

Bytes join(Bytes first, const Bytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

class RemoteCallsTest : public LinkFixture {
  protected:
    void SetUp() override {
        LinkFixture::SetUp();
        ASSERT_EQ(KRV_Connect(), 0);
    }

    // The single request the peer received last, as it came.
    Bytes lastRequest() {
        const std::vector<Bytes> requests = peer.requests();
        return requests.empty() ? Bytes{} : requests.back();
    }
    size_t requestCount() { return peer.requests().size(); }
};

TEST_F(RemoteCallsTest, AttachIsOne13ByteDatagram) {
    peer.onRequest([](ScriptedPeer& p, const Bytes& request) {
        p.sendReply(ScriptedPeer::replyMessage(0, 0, request[kRequestIdOffset]));
    });
    const uint16_t sequence = link().transmitSequence;
    const uint8_t id = static_cast<uint8_t>(link().messageId + 1);
    EXPECT_EQ(KRV_Attach(), 0);
    const Bytes expected = join(fragmentHeader(sequence), {0, 0, 0, 0, 0, 0x02, 0x71, 0x01, id});
    EXPECT_EQ(peer.datagramsOfType(LINK_DATA_OUT), std::vector<Bytes>{expected});
    EXPECT_EQ(link().messageId, id);
}

TEST_F(RemoteCallsTest, ResultIsTheReplyStatusAndIsKept) {
    peer.onRequest([](ScriptedPeer& p, const Bytes& request) {
        p.sendReply(ScriptedPeer::replyMessage(0, 0x21, request[kRequestIdOffset]));
    });
    EXPECT_EQ(KRV_Attach(), 0x21);
    EXPECT_EQ(KRV_LastResult(), 0x21);
}

TEST_F(RemoteCallsTest, PinEnableCommandIsOne29ByteDatagram) {
    const uint16_t sequence = link().transmitSequence;
    EXPECT_EQ(KRV_ExecuteCommand("JTAG.PIN ENABLE"), 0);
    const std::string text = "JTAG.PIN ENABLE";
    Bytes expected =
        join(fragmentHeader(sequence), {0, 0, 0, 0, 0, 18, 0x72, 0x02, link().messageId});
    expected.insert(expected.end(), text.begin(), text.end());
    expected.push_back(0);  // the NUL; the body of 20 bytes needs no filler
    ASSERT_EQ(expected.size(), 29u);
    EXPECT_EQ(peer.datagramsOfType(LINK_DATA_OUT), std::vector<Bytes>{expected});
}

TEST_F(RemoteCallsTest, ReleaseTapIsExactlyThe13ByteMessage) {
    EXPECT_EQ(KRV_ReleaseTAP(), 0);
    const Bytes expected = {0, 0, 0, 0, 0, 0x00, 0x74, 0x92, link().messageId, 0x05, 0x00, 0x00, 0};
    EXPECT_EQ(lastRequest(), expected);
}

TEST_F(RemoteCallsTest, SixOnesResetIsOneRawShiftOfNineBytes) {
    const uint8_t ones = 0xFF;
    EXPECT_EQ(KRV_TAPAccessShiftRaw(0, 6, &ones, nullptr, nullptr), 0);
    const Bytes expected = {0,    0,    0,    0,    0,    0x00, 0x74, 0x93, link().messageId,
                            15,   0,    0xEF, 0x48, 0x90, 0x00, 0x01, 0x00, 0x06,
                            0x00, 0x00, 0x00, 0xFF, 0};
    EXPECT_EQ(lastRequest(), expected);
}

struct SizeHeaderCase {
    int bits;
    Bytes header;
};

class SizeHeaderTest : public RemoteCallsTest,
                       public ::testing::WithParamInterface<SizeHeaderCase> {};

TEST_P(SizeHeaderTest, PicksTheShortestForm) {
    const int bits = GetParam().bits;
    const size_t dataBytes = static_cast<size_t>(bits + 7) / 8;
    const Bytes send(dataBytes + 1, 0x3C);  // never empty: an empty vector has no data pointer
    Bytes receive(dataBytes + 1, 0);
    EXPECT_EQ(KRV_TAPAccessRequest(bits, 12, bits, 1, send.data(), receive.data()), 0);

    const Bytes block = join(GetParam().header, Bytes(dataBytes, 0x3C));
    const Bytes request = lastRequest();
    ASSERT_GE(request.size(), 11u);
    EXPECT_EQ(request[7], kTapContinueSubCode);
    EXPECT_EQ(loadLE16(&request[9]), block.size() + 4);
    EXPECT_EQ(Bytes(request.begin() + 11, request.begin() + 11 + static_cast<long>(block.size())),
              block);
    EXPECT_EQ(request.size(), 5 + ((block.size() + 6 + 1) & ~size_t{1}));
}

INSTANTIATE_TEST_SUITE_P(
    Bits, SizeHeaderTest,
    ::testing::Values(SizeHeaderCase{0, {0xF0}}, SizeHeaderCase{14, {0xFE}},
                      SizeHeaderCase{15, {0xFF, 15}}, SizeHeaderCase{254, {0xFF, 254}},
                      SizeHeaderCase{255, {0xFF, 0xFF, 0xFF, 0, 0, 0}},
                      SizeHeaderCase{70000, {0xFF, 0xFF, 0x70, 0x11, 0x01, 0x00}}));

TEST_F(RemoteCallsTest, EndingAccessWithoutBuffersCarriesTheCallersFlagsAndAZero) {
    EXPECT_EQ(KRV_TAPAccessRequest(0, 12, 3, 0, nullptr, nullptr), 0);
    const Bytes request = lastRequest();
    const Bytes expected = {0, 0, 0, 0, 0, 0, 0x74, 0x92, link().messageId, 6, 0, 0xC3, 0};
    EXPECT_EQ(request, expected);
}

struct CommandCase {
    size_t length;
    bool longForm;
};

class CommandFormTest : public RemoteCallsTest,
                        public ::testing::WithParamInterface<CommandCase> {};

TEST_P(CommandFormTest, ShortUpTo251CharactersLongAbove) {
    const size_t length = GetParam().length;
    const std::string command(length, 'k');
    EXPECT_EQ(KRV_ExecuteCommand(command.c_str()), 0);
    const Bytes request = lastRequest();
    const size_t textAt = GetParam().longForm ? 11 : 9;
    ASSERT_GE(request.size(), textAt + length + 1);
    EXPECT_EQ(request[6], REQ_COMMAND);
    EXPECT_EQ(request[7], 2);
    if (GetParam().longForm) {
        EXPECT_EQ(request[5], 0);
        EXPECT_EQ(loadLE16(&request[9]), length + 5);
    } else {
        EXPECT_EQ(request[5], length + 3);
    }
    EXPECT_EQ(std::string(request.begin() + static_cast<long>(textAt),
                          request.begin() + static_cast<long>(textAt + length)),
              command);
    EXPECT_EQ(request[textAt + length], 0);
    const size_t body = textAt - 5 + length + 1;
    EXPECT_EQ(request.size(), 5 + body + body % 2);
}

INSTANTIATE_TEST_SUITE_P(Lengths, CommandFormTest,
                         ::testing::Values(CommandCase{0, false}, CommandCase{15, false},
                                           CommandCase{251, false}, CommandCase{252, true},
                                           CommandCase{2048, true}));

TEST_F(RemoteCallsTest, CommandOf2049CharactersIsRefusedUnsent) {
    const size_t before = requestCount();
    EXPECT_EQ(KRV_ExecuteCommand(std::string(2049, 'k').c_str()), -3);
    EXPECT_EQ(KRV_LastResult(), -3);
    EXPECT_EQ(KRV_ExecuteCommand(nullptr), -3);
    EXPECT_EQ(requestCount(), before);
}

TEST_F(RemoteCallsTest, RawShiftOfNoBitsSendsNothing) {
    EXPECT_EQ(KRV_ExecuteCommand(std::string(3000, 'k').c_str()), -3);
    const size_t before = requestCount();
    EXPECT_EQ(KRV_TAPAccessShiftRaw(0, 0, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(KRV_LastResult(), 0);
    EXPECT_EQ(KRV_TAPAccessShiftRaw(0, -8, nullptr, nullptr, nullptr), -3);
    EXPECT_EQ(requestCount(), before);
}

struct RawLimitCase {
    int bits;
    bool tms;
    bool tdi;
    int result;
};

class RawShiftLimitTest : public RemoteCallsTest,
                          public ::testing::WithParamInterface<RawLimitCase> {};

TEST_P(RawShiftLimitTest, BlockOfAt15360BytesIsSent) {
    const RawLimitCase& shift = GetParam();
    const size_t bytes = static_cast<size_t>(shift.bits + 7) / 8;
    Bytes tms(bytes), tdi(bytes);
    for (size_t i = 0; i < bytes; ++i) {
        tms[i] = static_cast<uint8_t>(i);
        tdi[i] = static_cast<uint8_t>(~i);
    }
    const size_t before = requestCount();
    EXPECT_EQ(KRV_TAPAccessShiftRaw(0, shift.bits, shift.tms ? tms.data() : nullptr,
                                    shift.tdi ? tdi.data() : nullptr, nullptr),
              shift.result);
    EXPECT_EQ(KRV_LastResult(), shift.result);
    if (shift.result != 0) {
        EXPECT_EQ(requestCount(), before);
        return;
    }
    Bytes block = {0x90, 0, static_cast<uint8_t>((shift.tms ? 1 : 0) | (shift.tdi ? 2 : 0)), 0};
    block.resize(8);
    storeLE32(&block[4], static_cast<uint32_t>(shift.bits));
    if (shift.tms) block = join(block, tms);
    if (shift.tdi) block = join(block, tdi);
    ASSERT_EQ(block.size(), 15360u);
    Bytes expected = {0, 0, 0, 0, 0, 0, 0x74, 0x93, link().messageId, 0, 0, 0xEF, 0xFF, 0, 0, 0, 0};
    storeLE16(&expected[9], 15366 + 4);
    storeLE32(&expected[13], 15360 * 8);
    expected = join(expected, block);
    EXPECT_EQ(lastRequest(), expected);
    EXPECT_EQ(expected.size(), 15377u);  // the largest request there is
}

INSTANTIATE_TEST_SUITE_P(Blocks, RawShiftLimitTest,
                         ::testing::Values(RawLimitCase{122816, false, true, 0},
                                           RawLimitCase{122817, false, true, -3},
                                           RawLimitCase{122816, true, false, 0},
                                           RawLimitCase{61408, true, true, 0},
                                           RawLimitCase{61409, true, true, -3}));

TEST_F(RemoteCallsTest, AccessTooLongForTheRequestBufferIsRefusedUnsent) {
    const Bytes send(16880, 0);
    const size_t before = requestCount();
    EXPECT_EQ(KRV_TAPAccessRequest(0, 12, 16880 * 8, 1, send.data(), nullptr), -3);
    EXPECT_EQ(requestCount(), before);
}

struct TdoCase {
    size_t replyDataBytes;
    Bytes expectedTdo;
};

class TdoReplyTest : public RemoteCallsTest, public ::testing::WithParamInterface<TdoCase> {};

TEST_P(TdoReplyTest, ShortReplyLeavesTheTdoBufferAlone) {
    const size_t dataBytes = GetParam().replyDataBytes;
    peer.onRequest([dataBytes](ScriptedPeer& p, const Bytes& request) {
        const Bytes data = {0xAB, 0xCD, 0xEF};
        p.sendReply(ScriptedPeer::replyMessage(
            0, 4, request[kRequestIdOffset],
            Bytes(data.begin(), data.begin() + static_cast<long>(dataBytes))));
    });
    const uint8_t tdi[2] = {0x12, 0x34};
    Bytes tdo = {0x5A, 0x5A};
    EXPECT_EQ(KRV_TAPAccessShiftRaw(8, 16, nullptr, tdi, tdo.data()), 4);
    EXPECT_EQ(tdo, GetParam().expectedTdo);

    const Bytes request = lastRequest();
    const Bytes block = {0xFF, 80, 0x90, 0, 8 | 2 | 4, 0, 16, 0, 0, 0, 0x12, 0x34};
    EXPECT_EQ(Bytes(request.begin() + 11, request.end()), block);
}

INSTANTIATE_TEST_SUITE_P(DataBytes, TdoReplyTest,
                         ::testing::Values(TdoCase{1, {0x5A, 0x5A}}, TdoCase{2, {0xAB, 0xCD}},
                                           TdoCase{3, {0xAB, 0xCD}}));

TEST_F(RemoteCallsTest, TdoOnlyShiftCountsFillerAndIgnoresLowOptionBits) {
    Bytes tdo(3, 0);
    EXPECT_EQ(KRV_TAPAccessShiftRaw(0xFFFF, 20, nullptr, nullptr, tdo.data()), 0);
    const Bytes request = lastRequest();
    const Bytes block = {0xFF, 88, 0x90, 0, 0xFC, 0xFF, 20, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Bytes(request.begin() + 11, request.end()), join(block, {0}));
}

TEST_F(RemoteCallsTest, FlowControlFailureIsNotTransmitted) {
    useShortTimeouts();
    peer.setFlowTokenLimit(0);
    const Bytes tdi(15352, 0x77);
    EXPECT_EQ(KRV_TAPAccessShiftRaw(0, 122816, nullptr, tdi.data(), nullptr), -2);
    EXPECT_EQ(KRV_LastResult(), -2);
}

// Nothing goes out of a closed socket: the request is not transmitted, and nobody waits for it.
TEST_F(RemoteCallsTest, ClosedLinkFailsWithoutReply) {
    KRV_Disconnect();
    EXPECT_EQ(KRV_Attach(), -2);
    EXPECT_EQ(KRV_LastResult(), -2);
}

TEST_F(RemoteCallsTest, MessageIdAdvancesAndWrapsAtEightBits) {
    const uint8_t first = static_cast<uint8_t>(link().messageId + 1);
    for (int call = 0; call < 257; ++call) ASSERT_EQ(KRV_Attach(), 0) << call;
    const std::vector<Bytes> requests = peer.requests();
    ASSERT_EQ(requests.size(), 257u);
    for (size_t i = 0; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i][kRequestIdOffset], static_cast<uint8_t>(first + i)) << i;
    }
}

}  // namespace
