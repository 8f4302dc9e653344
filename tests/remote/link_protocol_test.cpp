// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "LinkFixture.h"
#include "remote/LinkRoutines.h"
#include "remote/RemoteLink.h"
#include "remote/RemoteLinkTesting.h"

namespace {

const RemoteLinkState& link() {
    return LinkStateForTest();
}

Bytes pattern(size_t length, uint8_t seed) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

Bytes replyTo(const Bytes& request, uint8_t status = 0, uint8_t flags = 0, const Bytes& data = {}) {
    return ScriptedPeer::replyMessage(flags, status, request.at(kRequestIdOffset), data);
}

class LinkProtocolTest : public LinkFixture {
  protected:
    void SetUp() override {
        LinkFixture::SetUp();
        ASSERT_EQ(KRV_Connect(), 0);
    }

    // A request buffer with known bytes everywhere, the header room in front included.
    static Bytes fillRequestBuffer(size_t messageLength) {
        const Bytes bytes = pattern(kRequestBufferSize, 11);
        std::memcpy(gRequestBuffer, bytes.data(), bytes.size());
        return Bytes(bytes.begin() + 4, bytes.begin() + 4 + static_cast<long>(messageLength));
    }
    static bool requestBufferUntouched() {
        return Bytes(gRequestBuffer, gRequestBuffer + kRequestBufferSize) ==
               pattern(kRequestBufferSize, 11);
    }
};

struct FragmentCase {
    int length;
    std::vector<size_t> dataSizes;
    std::vector<uint8_t> continuations;
};

class LinkFragmentTest : public LinkProtocolTest,
                         public ::testing::WithParamInterface<FragmentCase> {};

TEST_P(LinkFragmentTest, CutsTheMessageInPlaceAndNumbersEveryFragment) {
    const FragmentCase& shape = GetParam();
    peer.onRequest([](ScriptedPeer&, const Bytes&) {});
    const Bytes message = fillRequestBuffer(static_cast<size_t>(shape.length));
    const uint16_t firstSequence = link().transmitSequence;

    EXPECT_EQ(LinkTransmit(LinkRequestMessage(), shape.length), shape.length);

    const std::vector<Bytes> fragments = peer.datagramsOfType(LINK_DATA_OUT);
    ASSERT_EQ(fragments.size(), shape.dataSizes.size());
    for (size_t i = 0; i < fragments.size(); ++i) {
        EXPECT_EQ(fragments[i].size(), shape.dataSizes[i] + 4) << i;
        EXPECT_EQ(fragments[i][1], shape.continuations[i]) << i;
        EXPECT_EQ(loadLE16(&fragments[i][2]), static_cast<uint16_t>(firstSequence + i)) << i;
    }
    EXPECT_EQ(peer.requests(), std::vector<Bytes>{message});
    EXPECT_TRUE(requestBufferUntouched());
    EXPECT_EQ(link().transmitSequence, static_cast<uint16_t>(firstSequence + fragments.size()));
    EXPECT_EQ(link().savedTransmitSequence, firstSequence);
    EXPECT_EQ(link().lastMessageLength, shape.length);
}

INSTANTIATE_TEST_SUITE_P(Lengths, LinkFragmentTest,
                         ::testing::Values(FragmentCase{0, {0}, {0}}, FragmentCase{1, {1}, {0}},
                                           FragmentCase{1020, {1020}, {0}},
                                           FragmentCase{1021, {1020, 1}, {1, 0}},
                                           FragmentCase{2041, {1020, 1020, 1}, {1, 1, 0}}));

struct FlowCase {
    int tokens;  // tokens the peer hands out, -1 for all
    int result;
    size_t fragmentsSent;
};

class LinkFlowControlTest : public LinkProtocolTest,
                            public ::testing::WithParamInterface<FlowCase> {};

// 8000 bytes are eight fragments; from the fifth on each one waits for a token.
TEST_P(LinkFlowControlTest, WaitsForATokenAfterEveryFragmentFromTheFifthOn) {
    const FlowCase& flow = GetParam();
    // The tokens that do come must not be missed; only the wait for the withheld one is meant.
    if (flow.tokens >= 0) LinkSetTimeoutsForTest(0, 100000);
    peer.setFlowTokenLimit(flow.tokens);
    peer.onRequest([](ScriptedPeer&, const Bytes&) {});
    fillRequestBuffer(8000);

    EXPECT_EQ(LinkTransmit(LinkRequestMessage(), 8000), flow.result);

    EXPECT_EQ(peer.datagramsOfType(LINK_DATA_OUT).size(), flow.fragmentsSent);
    EXPECT_TRUE(requestBufferUntouched());
}

INSTANTIATE_TEST_SUITE_P(Tokens, LinkFlowControlTest,
                         ::testing::Values(FlowCase{-1, 8000, 8}, FlowCase{0, -1, 5},
                                           FlowCase{3, -1, 8}));

TEST_F(LinkProtocolTest, FailedFlowControlIsReportedAsNotTransmitted) {
    useShortTimeouts();
    peer.setFlowTokenLimit(0);
    EXPECT_EQ(LinkSendRequest(7994), -1);
    EXPECT_EQ(KRV_LastResult(), -2);
}

TEST_F(LinkProtocolTest, EmptyMessageIsOneHeaderAndAdvancesTheSequence) {
    peer.onRequest([](ScriptedPeer&, const Bytes&) {});
    const uint16_t sequence = link().transmitSequence;
    EXPECT_EQ(LinkSendRequest(0), 0);
    const Bytes header = {LINK_DATA_OUT, 0, static_cast<uint8_t>(sequence),
                          static_cast<uint8_t>(sequence >> 8)};
    EXPECT_EQ(peer.datagramsOfType(LINK_DATA_OUT), std::vector<Bytes>{header});
    EXPECT_EQ(link().transmitSequence, static_cast<uint16_t>(sequence + 1));
}

// Replies carry 3000 bytes of TDO, three fragments at the normal packet length.
constexpr int kTdoBits = 24000;
constexpr size_t kTdoBytes = 3000;

Bytes strayFragment() {
    Bytes fragment = {LINK_DATA_IN, 1, 0x0F, 0x27};  // sequence 9999, expected by nobody
    fragment.resize(200, 0xEE);
    return fragment;
}

struct ShapeCase {
    ReplyShape shape;
    int notifications;
    size_t acknowledgements;
};

class LinkReassemblyTest : public LinkProtocolTest,
                           public ::testing::WithParamInterface<ShapeCase> {};

TEST_P(LinkReassemblyTest, PutsTheFragmentsBackToBack) {
    const Bytes tdoData = pattern(kTdoBytes, 5);
    const ReplyShape shape = GetParam().shape;
    peer.onRequest([&tdoData, shape](ScriptedPeer& p, const Bytes& request) {
        p.sendReply(replyTo(request, 0, 0, tdoData), shape);
    });
    const uint16_t firstSequence = link().receiveSequence;
    Bytes tdo(kTdoBytes, 0);

    EXPECT_EQ(KRV_TAPAccessShiftRaw(0, kTdoBits, nullptr, nullptr, tdo.data()), 0);

    EXPECT_EQ(tdo, tdoData);
    const size_t perFragment = shape.fragmentBytes > 0 ? shape.fragmentBytes : 1020;
    const size_t fragments = (kTdoBytes + 5 + perFragment - 1) / perFragment;
    EXPECT_EQ(link().receiveSequence, static_cast<uint16_t>(firstSequence + fragments));
    EXPECT_EQ(link().previousReplySequence, firstSequence);
    EXPECT_EQ(KRV_NotificationCount(), GetParam().notifications);
    EXPECT_EQ(peer.datagramsOfType(LINK_ACK),
              std::vector<Bytes>(GetParam().acknowledgements,
                                 ScriptedPeer::controlDatagram(LINK_ACK, 0)));
}

const Bytes kToken = {LINK_FLOW_TOKEN};
const Bytes kNotification = {LINK_NOTIFY, 1, 2, 3, 4, 5};

// A token or a notification between fragments keeps the fragments received before it.
INSTANTIATE_TEST_SUITE_P(
    Shapes, LinkReassemblyTest,
    ::testing::Values(
        ShapeCase{ReplyShape{}, 0, 0}, ShapeCase{ReplyShape{0, 1, {{0, {kToken}}}, {}}, 0, 0},
        ShapeCase{ReplyShape{0, 1, {{1, {kToken, kToken}}}, {}}, 0, 0},
        ShapeCase{ReplyShape{0, 1, {{1, {kNotification}}, {2, {kNotification}}}, {}}, 2, 0},
        ShapeCase{ReplyShape{0, 1, {{1, {strayFragment()}}}, {}}, 0, 0},
        ShapeCase{ReplyShape{0, 2, {}, {}}, 0, 2}, ShapeCase{ReplyShape{100, 1, {}, {}}, 0, 0}));

TEST_F(LinkProtocolTest, RepeatedPreviousReplyMakesTheClientSendItsRequestAgain) {
    std::atomic<int> arrivals{0};
    peer.onRequest([&arrivals](ScriptedPeer& p, const Bytes& request) {
        const int arrival = arrivals++;
        if (arrival == 1) {
            p.repeatPreviousReply();  // as if the second request had been lost
        } else {
            p.sendReply(replyTo(request, arrival == 0 ? 0 : 5));
        }
    });
    EXPECT_EQ(KRV_Attach(), 0);
    EXPECT_EQ(KRV_ExecuteCommand("JTAG.PIN ENABLE"), 5);

    const std::vector<Bytes> requests = peer.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1], requests[2]);
    const std::vector<Bytes> fragments = peer.datagramsOfType(LINK_DATA_OUT);
    ASSERT_EQ(fragments.size(), 3u);
    EXPECT_EQ(fragments[1], fragments[2]);  // the same sequence number too
}

TEST_F(LinkProtocolTest, SameToggleTwiceAsksForTheReplyWithAnEmptyMessage) {
    std::atomic<int> arrivals{0};
    std::atomic<uint8_t> id{0};
    peer.onRequest([&](ScriptedPeer& p, const Bytes& request) {
        const int arrival = arrivals++;
        if (arrival < 2) {
            id = request[kRequestIdOffset];
            p.sendReply(replyTo(request, static_cast<uint8_t>(arrival * 3), 0x18));
        } else {
            p.sendReply(ScriptedPeer::replyMessage(0x08, 0, id));
        }
    });
    EXPECT_EQ(KRV_Attach(), 0);
    EXPECT_EQ(link().replyToggle, 1);
    const uint16_t sequence = link().transmitSequence;
    EXPECT_EQ(KRV_Attach(), 0);  // not the repeated 3
    EXPECT_EQ(link().replyToggle, 0);

    const std::vector<Bytes> requests = peer.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_TRUE(requests[2].empty());
    const Bytes emptyMessage = {LINK_DATA_OUT, 0, static_cast<uint8_t>(sequence + 1),
                                static_cast<uint8_t>((sequence + 1) >> 8)};
    EXPECT_EQ(peer.datagramsOfType(LINK_DATA_OUT).back(), emptyMessage);
    EXPECT_EQ(link().lastMessageLength, 0);
}

TEST_F(LinkProtocolTest, PendingStatusForgetsTheToggle) {
    std::atomic<int> arrivals{0};
    peer.onRequest([&arrivals](ScriptedPeer& p, const Bytes& request) {
        if (arrivals++ == 1) p.sendReply(replyTo(request, kReplyStatusPending, 0x18));
        p.sendReply(replyTo(request, 6, 0x18));
    });
    EXPECT_EQ(KRV_Attach(), 6);
    EXPECT_EQ(KRV_Attach(), 6);
    EXPECT_EQ(peer.requests().size(), 2u);
}

enum Kind : uint8_t { Stale, Pending, Right };

struct ExaminedCase {
    std::vector<Kind> replies;
    int result;
};

class LinkExaminedRepliesTest : public LinkProtocolTest,
                                public ::testing::WithParamInterface<ExaminedCase> {};

TEST_P(LinkExaminedRepliesTest, AtMostFiveRepliesPerRequest) {
    const std::vector<Kind> replies = GetParam().replies;
    peer.onRequest([replies](ScriptedPeer& p, const Bytes& request) {
        const uint8_t id = request[kRequestIdOffset];
        for (const Kind kind : replies) {
            const uint8_t status = kind == Pending ? kReplyStatusPending : 9;
            p.sendReply(ScriptedPeer::replyMessage(0, status, kind == Stale ? id - 1 : id));
        }
    });
    EXPECT_EQ(KRV_Attach(), GetParam().result);
    EXPECT_EQ(KRV_LastResult(), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, LinkExaminedRepliesTest,
    ::testing::Values(
        ExaminedCase{{Stale, Stale, Stale, Stale, Right}, 9},
        ExaminedCase{{Stale, Stale, Stale, Stale, Stale, Right}, -1},
        ExaminedCase{{Stale, Stale, Stale, Stale, Pending, Stale, Stale, Stale, Right}, 9},
        ExaminedCase{{Stale, Stale, Stale, Stale, Pending, Stale, Stale, Stale, Stale, Right},
                     -1}));

TEST_F(LinkProtocolTest, SilentPeerTimesTheReplyOut) {
    useShortTimeouts();
    peer.onRequest([](ScriptedPeer&, const Bytes&) {});
    EXPECT_EQ(KRV_Attach(), -1);
    EXPECT_EQ(KRV_LastResult(), -1);
}

class LinkMalformedDatagramTest : public LinkProtocolTest,
                                  public ::testing::WithParamInterface<Bytes> {};

// The good reply right behind the bad datagram is never reached.
TEST_P(LinkMalformedDatagramTest, EndsTheReception) {
    const Bytes bad = GetParam();
    peer.onRequest([bad](ScriptedPeer& p, const Bytes& request) {
        p.send(bad);
        p.sendReply(replyTo(request));
    });
    EXPECT_EQ(KRV_Attach(), -1);
}

Bytes longerThanThePacketLength() {
    Bytes datagram(1025, 0);
    datagram[0] = LINK_DATA_IN;
    return datagram;
}

INSTANTIATE_TEST_SUITE_P(Datagrams, LinkMalformedDatagramTest,
                         ::testing::Values(Bytes{}, Bytes{'-'}, Bytes{LINK_DATA_IN, 0},
                                           Bytes{LINK_DATA_IN, 0, 1, 2}, Bytes{0x42, 0, 0, 0, 0, 0},
                                           longerThanThePacketLength()));

struct ReplyLengthCase {
    size_t length;
    int result;
};

class LinkReplyLengthTest : public LinkProtocolTest,
                            public ::testing::WithParamInterface<ReplyLengthCase> {};

TEST_P(LinkReplyLengthTest, RepliesUpTo16640BytesFit) {
    const size_t length = GetParam().length;
    peer.onRequest([length](ScriptedPeer& p, const Bytes& request) {
        Bytes reply = replyTo(request, 0, 0, pattern(length - 5, 1));
        p.sendReply(reply);
    });
    EXPECT_EQ(KRV_Attach(), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(Lengths, LinkReplyLengthTest,
                         ::testing::Values(ReplyLengthCase{16640, 0}, ReplyLengthCase{16641, -1}));

TEST_F(LinkProtocolTest, ReplyTooShortForAnIdIsDropped) {
    peer.onRequest([](ScriptedPeer& p, const Bytes& request) {
        p.sendReply({0, 0, 0, 7});
        p.sendReply(replyTo(request, 3));
    });
    EXPECT_EQ(KRV_Attach(), 3);
}

// Nobody else on the network can answer in the debugger's name.
TEST_F(LinkProtocolTest, ReplyFromAStrangerIsSkipped) {
    const uint16_t sequence = link().receiveSequence;
    peer.onRequest([sequence](ScriptedPeer& p, const Bytes& request) {
        Bytes forged = {LINK_DATA_IN, 0, static_cast<uint8_t>(sequence),
                        static_cast<uint8_t>(sequence >> 8)};
        const Bytes message = replyTo(request, 7);
        forged.insert(forged.end(), message.begin(), message.end());
        p.sendFromStranger(forged);
        p.sendReply(replyTo(request, 0));
    });
    EXPECT_EQ(KRV_Attach(), 0);
}

TEST_F(LinkProtocolTest, StrangerCannotKeepTheWaitGoing) {
    useShortTimeouts();
    peer.onRequest([](ScriptedPeer& p, const Bytes& request) {
        for (int i = 0; i < 5; ++i) p.sendFromStranger(replyTo(request));
    });
    EXPECT_EQ(KRV_Attach(), -1);
}

TEST_F(LinkProtocolTest, KeepsOnlyTheNewest64NotificationsUntilDisconnect) {
    peer.onRequest([](ScriptedPeer& p, const Bytes& request) {
        for (int i = 0; i < 70; ++i) p.send({LINK_NOTIFY, static_cast<uint8_t>(i), 0, 0, 0});
        p.sendReply(replyTo(request));
    });
    EXPECT_EQ(KRV_Attach(), 0);
    EXPECT_EQ(KRV_NotificationCount(), 64);
    EXPECT_EQ(link().newestNotification->data[1], 69);
    EXPECT_EQ(link().oldestNotification->data[1], 6);
    EXPECT_EQ(link().oldestNotification->length, 5);
    KRV_Disconnect();
    EXPECT_EQ(KRV_NotificationCount(), 0);
    EXPECT_EQ(link().newestNotification, nullptr);
}

TEST_F(LinkProtocolTest, DatagramLongerThanTheSpaceIsConsumedAsAnError) {
    peer.datagrams();  // the peer knows the client's address from here on
    peer.send(Bytes(20, 1));
    peer.send(Bytes(5, 2));
    uint8_t space[10] = {};
    EXPECT_EQ(LinkReceiveDatagram(1000000, space, sizeof space), -1);
    EXPECT_EQ(LinkReceiveDatagram(1000000, space, sizeof space), 5);
    EXPECT_EQ(LinkReceiveDatagram(20000, space, sizeof space), 0);
}

TEST_F(LinkProtocolTest, NegotiatedPacketLengthCutsRequests) {
    KRV_Disconnect();
    peer.onConnect([](ScriptedPeer& p, const Bytes&) { p.acceptConnect(600); });
    ASSERT_EQ(KRV_Connect(), 0);
    EXPECT_EQ(KRV_ExecuteCommand(std::string(2048, 'c').c_str()), 0);  // a 2061-byte message
    std::vector<size_t> sizes;
    for (const Bytes& fragment : peer.datagramsOfType(LINK_DATA_OUT))
        sizes.push_back(fragment.size());
    EXPECT_EQ(sizes, (std::vector<size_t>{600, 600, 600, 2061 - 3 * 596 + 4}));
}

class LinkChatterTest : public LinkProtocolTest, public ::testing::WithParamInterface<Bytes> {};

// Tokens, notifications and fragments out of sequence every 10 ms do not extend a 100 ms time-out:
// the reply after 300 ms of chatter comes too late.
TEST_P(LinkChatterTest, DoesNotExtendTheReplyTimeout) {
    LinkSetTimeoutsForTest(100000, 100000);
    const Bytes chatter = GetParam();
    peer.onRequest([chatter](ScriptedPeer& p, const Bytes& request) {
        for (int i = 0; i < 30; ++i) {
            p.send(chatter);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        p.sendReply(replyTo(request));
    });
    EXPECT_EQ(KRV_Attach(), -1);
    EXPECT_EQ(KRV_LastResult(), -1);
}

INSTANTIATE_TEST_SUITE_P(Datagrams, LinkChatterTest,
                         ::testing::Values(kToken, kNotification,
                                           Bytes{LINK_DATA_IN, 0, 0x34, 0x12, 0, 0, 0, 0}));

}  // namespace

namespace {

// Reply fragments of `message` numbered from `sequence`, 1020 data bytes each.
std::vector<Bytes> replyFragments(const Bytes& message, uint16_t sequence) {
    std::vector<Bytes> fragments;
    for (size_t at = 0; at < message.size(); at += 1020, ++sequence) {
        const size_t end = std::min(message.size(), at + 1020);
        Bytes fragment = {LINK_DATA_IN, static_cast<uint8_t>(end < message.size() ? 1 : 0),
                          static_cast<uint8_t>(sequence), static_cast<uint8_t>(sequence >> 8)};
        fragment.insert(fragment.end(), message.begin() + static_cast<long>(at),
                        message.begin() + static_cast<long>(end));
        fragments.push_back(fragment);
    }
    return fragments;
}

}  // namespace

// Everything is waiting before the client reads, so each datagram is taken without a wait: a
// duplicate of the first fragment, the third ahead of the second (dropped, as if lost, and sent
// again), a flow token and a stranger's datagram in between still give the reply whole.
TEST_F(LinkProtocolTest, BurstAlreadyWaitingIsReadWholeThroughDuplicatesLossAndReordering) {
    const uint16_t sequence = link().receiveSequence;
    const Bytes data = pattern(2500, 3);
    std::atomic<bool> queued{false};
    peer.onRequest([&](ScriptedPeer& p, const Bytes& request) {
        const std::vector<Bytes> f = replyFragments(replyTo(request, 0, 0, data), sequence);
        ASSERT_EQ(f.size(), 3u);
        for (const Bytes& datagram : {f[0], f[0], f[2], Bytes{'+'}, f[1]}) p.send(datagram);
        p.sendFromStranger(f[2]);
        p.send(f[2]);
        queued = true;
    });
    uint8_t* request = LinkRequestMessage();
    const uint8_t attach[] = {2, 0x71, 1, ++gRemoteLink.messageId};
    std::memcpy(request + 5, attach, sizeof attach);
    ASSERT_EQ(LinkSendRequest(4), 0);
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!queued && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
    ASSERT_TRUE(queued) << "the peer never answered";

    ASSERT_EQ(LinkWaitReply(), static_cast<int>(5 + data.size()) - 1);
    EXPECT_EQ(Bytes(LinkReplyMessage() + 5, LinkReplyMessage() + 5 + data.size()), data);
    EXPECT_EQ(link().receiveSequence, static_cast<uint16_t>(sequence + 3));
}
