// SPDX-License-Identifier: Apache-2.0
// The link peer without sockets: handshake answers, flow tokens exactly where the client waits,
// reply envelopes and fragments, the sequence policy, and refusals of malformed datagrams.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <random>

#include "sim/PeerWire.h"
#include "support/ChainDriver.h"
#include "support/PeerHarness.h"

namespace {

using simtest::Bytes;
using simtest::optionsWithFaults;
using simtest::PeerHarness;
using simtest::repliesIn;

constexpr char kMagic[8] = {'K', 'O', 'R', 'A', 'V', 'E', 'N', '\0'};

std::uint16_t sequenceOf(const Bytes& datagram) {
    return static_cast<std::uint16_t>(datagram[2] | (datagram[3] << 8));
}

quorbit::SimOptions withPacketLength(int packetLength) {
    quorbit::SimOptions options;
    options.packetLength = packetLength;
    return options;
}

class AcceptLengthTest : public ::testing::TestWithParam<int> {};

TEST_P(AcceptLengthTest, ConnectIsAcceptedWithADatagramAsLongAsThePacketLength) {
    PeerHarness harness(withPacketLength(GetParam()));
    harness.deliver(simtest::handshakeDatagram(0x03, 1, 1024));
    const auto sent = harness.take();
    ASSERT_EQ(sent.size(), 1u);
    const Bytes& accept = sent[0].bytes;
    ASSERT_EQ(accept.size(), static_cast<std::size_t>(GetParam()));
    EXPECT_EQ(accept[0], 0x13);
    EXPECT_EQ(std::memcmp(accept.data() + 8, kMagic, 8), 0);
    EXPECT_TRUE(harness.peer.connected());
    EXPECT_EQ(harness.counters.connects, 1u);
}

INSTANTIATE_TEST_SUITE_P(PacketLengths, AcceptLengthTest, ::testing::Values(16, 600, 1024, 1472));

TEST(LinkPeer, SyncReplyCarriesThePeersSequenceNumber) {
    PeerHarness harness;
    harness.deliver(simtest::handshakeDatagram(0x03, 1, 1024));
    const std::uint16_t acceptSequence = sequenceOf(harness.take()[0].bytes);
    harness.deliver(simtest::handshakeDatagram(0x02, 1));
    const auto sent = harness.take();
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0].bytes.size(), 16u);
    EXPECT_EQ(sent[0].bytes[0], 0x12);
    EXPECT_EQ(sequenceOf(sent[0].bytes), acceptSequence);
    EXPECT_EQ(std::memcmp(sent[0].bytes.data() + 8, kMagic, 8), 0);
}

// Flow tokens: after each fragment, a "+" exactly when the client's bytes sent for the message
// (headers included) plus its packet length exceed 6000, and before any reply datagram.
struct TokenCase {
    int packetLength;
    std::size_t messageBytes;
};

class FlowTokenTest : public ::testing::TestWithParam<TokenCase> {};

TEST_P(FlowTokenTest, TokenFollowsExactlyTheFragmentsAfterWhichTheClientWaits) {
    const TokenCase c = GetParam();
    PeerHarness harness(withPacketLength(c.packetLength));
    harness.open();
    const Bytes message(c.messageBytes, 0);
    const auto pieces = harness.fragments(message);
    std::size_t clientSent = 0;
    std::size_t expectedTokens = 0;
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        harness.deliver(pieces[k]);
        clientSent += pieces[k].size();
        const bool waits = clientSent + static_cast<std::size_t>(c.packetLength) > 6000;
        expectedTokens += waits ? 1 : 0;
        const auto sent = harness.take();
        const bool last = k + 1 == pieces.size();
        if (!last) {
            ASSERT_EQ(sent.size(), waits ? 1u : 0u) << "fragment " << k;
        }
        if (waits) {
            ASSERT_FALSE(sent.empty());
            EXPECT_TRUE(simtest::isFlowToken(sent[0])) << "fragment " << k;
        } else if (!sent.empty()) {
            EXPECT_FALSE(simtest::isFlowToken(sent[0])) << "fragment " << k;
        }
    }
    EXPECT_EQ(harness.counters.flowTokensSent, expectedTokens);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FlowTokenTest,
                         ::testing::Values(TokenCase{1024, 0}, TokenCase{1024, 1020},
                                           TokenCase{1024, 1021}, TokenCase{1024, 5000},
                                           TokenCase{1024, 8000}, TokenCase{1024, 15377},
                                           TokenCase{1472, 15377}, TokenCase{600, 9000},
                                           TokenCase{16, 200}));

TEST(LinkPeer, EightThousandBytesGetTokensFromTheFifthFragmentOn) {
    PeerHarness harness;
    harness.open();
    const auto pieces = harness.fragments(Bytes(8000, 0));
    ASSERT_EQ(pieces.size(), 8u);
    std::vector<bool> tokenAfter;
    for (const Bytes& piece : pieces) {
        harness.deliver(piece);
        const auto sent = harness.take();
        tokenAfter.push_back(!sent.empty() && simtest::isFlowToken(sent[0]));
    }
    EXPECT_EQ(tokenAfter, (std::vector<bool>{false, false, false, false, true, true, true, true}));
}

TEST(LinkPeer, RepliesCarryStatusIdAndAToggleThatFlipsOnEachNewReply) {
    PeerHarness harness;
    harness.open();
    harness.sendMessage(harness.requests.attach());
    harness.sendMessage(harness.requests.command("JTAG.PIN ENABLE"));
    harness.sendMessage(harness.requests.command("JTAG.NONSENSE"));
    const auto replies = repliesIn(harness.take());
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0].status, 0);
    EXPECT_EQ(replies[0].id, 1);
    EXPECT_EQ(replies[1].status, 0);
    EXPECT_EQ(replies[1].id, 2);
    EXPECT_EQ(replies[2].status, quorbit::kStatusUnknownCommand);
    for (const auto& reply : replies) EXPECT_EQ(reply.flags & 0x08, 0x08);
    EXPECT_NE(replies[0].flags & 0x10, replies[1].flags & 0x10);
    EXPECT_NE(replies[1].flags & 0x10, replies[2].flags & 0x10);
    EXPECT_TRUE(harness.debugger.pinsEnabled());
    const std::deque<std::string> expected = {"JTAG.PIN ENABLE", "JTAG.NONSENSE"};
    EXPECT_EQ(harness.debugger.commands(), expected);
}

TEST(LinkPeer, ReplySequenceNumbersContinueFromTheSync) {
    PeerHarness harness;
    harness.deliver(simtest::handshakeDatagram(0x03, 1, 1024));
    harness.deliver(simtest::handshakeDatagram(0x02, 1));
    const std::uint16_t syncSequence = sequenceOf(harness.take()[0].bytes);
    harness.deliver(simtest::handshakeDatagram(0x22, 1));
    harness.sendMessage(harness.requests.attach());
    harness.sendMessage(harness.requests.attach());
    const auto replies = repliesIn(harness.take());
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].firstSequence, syncSequence);
    EXPECT_EQ(replies[1].firstSequence, static_cast<std::uint16_t>(syncSequence + 1));
}

TEST(LinkPeer, CommandBeforeAttachAndRawShiftBeforePinEnableAreRefused) {
    PeerHarness harness;
    harness.open();
    const Bytes tms = {0xFF};
    harness.sendMessage(harness.requests.command("JTAG.PIN ENABLE"));
    harness.sendMessage(harness.requests.attach());
    harness.sendMessage(harness.requests.rawShift(0, 6, &tms, nullptr, false));
    const auto replies = repliesIn(harness.take());
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0].status, quorbit::kStatusNotAttached);
    EXPECT_EQ(replies[1].status, 0);
    EXPECT_EQ(replies[2].status, quorbit::kStatusPinsDisabled);
    EXPECT_EQ(harness.debugger.chain().state(), quorbit::TapState::TestLogicReset);
}

TEST(LinkPeer, RawShiftsReadTheIdcodesAsReplyData) {
    PeerHarness harness;
    harness.open();
    harness.attachAndEnable();
    const Bytes reset = {0xFF};
    const Bytes toShiftDr = {0x02};  // 0 into Run-Test/Idle, then 1, 0, 0
    const Bytes ones(9, 0xFF);
    harness.sendMessage(harness.requests.rawShift(0, 6, &reset, nullptr, false));
    harness.sendMessage(harness.requests.rawShift(0, 4, &toShiftDr, nullptr, false));
    harness.sendMessage(harness.requests.rawShift(8, 65, nullptr, &ones, true));
    const auto replies = repliesIn(harness.take());
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_TRUE(replies[0].data.empty());
    ASSERT_EQ(replies[2].data.size(), 9u);
    EXPECT_EQ(simtest::valueOf(replies[2].data, 0, 1), 0u);
    EXPECT_EQ(simtest::valueOf(replies[2].data, 1, 32), 0x27A31EFFu);
    EXPECT_EQ(simtest::valueOf(replies[2].data, 33, 32), 0x151C0EFFu);
    EXPECT_EQ(harness.debugger.chain().state(), quorbit::TapState::Exit1Dr);
    EXPECT_TRUE(harness.debugger.tapAccessOpen());
    const auto& record = harness.debugger.rawShifts().back();
    EXPECT_EQ(record.bitCount, 65u);
    EXPECT_EQ(record.optionWord, 0x0E);
    EXPECT_EQ(record.tdoBytes, 9u);
    EXPECT_EQ(record.startState, quorbit::TapState::ShiftDr);
}

TEST(LinkPeer, ReleaseAnswersZeroAndEndsTheAccess) {
    PeerHarness harness;
    harness.open();
    harness.attachAndEnable();
    const Bytes reset = {0xFF};
    harness.sendMessage(harness.requests.rawShift(0, 6, &reset, nullptr, false));
    EXPECT_TRUE(harness.debugger.tapAccessOpen());
    harness.sendMessage(harness.requests.release());
    const auto replies = repliesIn(harness.take());
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[1].status, 0);
    EXPECT_FALSE(harness.debugger.tapAccessOpen());
}

TEST(LinkPeer, LongReplyIsFragmentedAtThePacketLength) {
    PeerHarness harness;
    harness.open();
    harness.attachAndEnable();
    const Bytes tdi(7676, 0xA5);
    harness.sendMessage(harness.requests.rawShift(0, 61408, nullptr, &tdi, true));
    const auto sent = harness.take();
    std::vector<const simtest::SentDatagram*> fragments;
    for (const auto& datagram : sent) {
        if (datagram.bytes[0] == 0x01) fragments.push_back(&datagram);
    }
    ASSERT_EQ(fragments.size(), 8u);  // 5 + 7676 bytes in pieces of 1020
    for (std::size_t k = 0; k < fragments.size(); ++k) {
        const Bytes& bytes = fragments[k]->bytes;
        EXPECT_EQ(bytes[1], k + 1 < fragments.size() ? 1 : 0);
        EXPECT_EQ(bytes.size(), k + 1 < fragments.size() ? 1024u : 4u + 7681u - 7 * 1020u);
        if (k > 0) {
            EXPECT_EQ(sequenceOf(bytes),
                      static_cast<std::uint16_t>(sequenceOf(fragments[k - 1]->bytes) + 1));
        }
    }
    EXPECT_EQ(repliesIn(sent).at(0).data.size(), 7676u);
}

// Replies go out directly unless a fault is armed; an armed fault that never applies (no reply
// here has 1000 fragments) goes through the queue and must give the very same datagrams.
TEST(LinkPeer, DirectAndQueuedRepliesSendTheSameDatagrams) {
    std::vector<std::vector<Bytes>> runs;
    for (const char* faults : {"", "ack-every=1000"}) {
        PeerHarness harness(optionsWithFaults(faults));
        harness.open();
        harness.attachAndEnable();
        const Bytes tdi(3000, 0x3C);
        harness.sendMessage(harness.requests.rawShift(0, 24000, nullptr, &tdi, true));
        harness.sendMessage(harness.requests.rawShift(0, 8, nullptr, &tdi, true));
        std::vector<Bytes> datagrams;
        for (const auto& datagram : harness.take()) datagrams.push_back(datagram.bytes);
        runs.push_back(datagrams);
    }
    EXPECT_EQ(runs[0].size(), 4u);  // 3 fragments of the first reply, 1 of the second
    EXPECT_EQ(runs[0], runs[1]);
}

TEST(LinkPeer, EmptyMessageConsumesItsNumberAndGetsNoReply) {
    PeerHarness harness;
    harness.open();
    harness.sendMessage({});
    EXPECT_TRUE(harness.take().empty());
    EXPECT_EQ(harness.counters.emptyMessages, 1u);
    harness.sendMessage(harness.requests.attach());
    EXPECT_EQ(repliesIn(harness.take()).size(), 1u);
    EXPECT_EQ(harness.counters.requests, 1u);
}

TEST(LinkPeer, RetransmittedRequestIsNotExecutedAgainAndItsReplyIsRepeatedByteForByte) {
    PeerHarness harness;
    harness.open();
    harness.sendMessage(harness.requests.attach());
    const auto pieces = harness.sendMessage(harness.requests.command("JTAG.PIN ENABLE"));
    const auto first = harness.take();
    for (const Bytes& piece : pieces) harness.deliver(piece);
    const auto again = harness.take();
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].bytes, first.back().bytes);
    EXPECT_EQ(harness.counters.requests, 2u);
    EXPECT_EQ(harness.counters.retransmittedRequests, 1u);
    EXPECT_EQ(harness.counters.repeatedReplies, 1u);
    EXPECT_EQ(harness.debugger.commands().size(), 1u);
}

TEST(LinkPeer, GapInsideARequestDropsItAndRepeatsTheLastReplySoTheClientSendsItAgain) {
    PeerHarness harness;
    harness.open();
    harness.sendMessage(harness.requests.attach());
    const Bytes attachReply = harness.take().back().bytes;
    const Bytes tdi(2800, 0x0F);
    const Bytes request = harness.requests.tap(tdi, false, false);
    const auto pieces = harness.fragments(request);
    ASSERT_EQ(pieces.size(), 3u);
    harness.deliver(pieces[0]);
    harness.deliver(pieces[2]);  // the middle one was lost
    const auto sent = harness.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, attachReply);
    EXPECT_EQ(harness.counters.requests, 1u);
    for (const Bytes& piece : pieces) harness.deliver(piece);  // the client's retransmission
    const auto replies = repliesIn(harness.take());
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].id, harness.requests.lastId());
    EXPECT_EQ(harness.counters.requests, 2u);
}

TEST(LinkPeer, NextRequestAfterALostOneIsFollowed) {
    PeerHarness harness;
    harness.open();
    harness.requests.attach();  // built, "sent" and lost
    harness.transmitSequence = static_cast<std::uint16_t>(harness.transmitSequence + 1);
    harness.sendMessage(harness.requests.attach());
    const auto replies = repliesIn(harness.take());
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].id, 2);
    EXPECT_TRUE(harness.debugger.attached());
}

TEST(LinkPeer, RequestAbandonedMidwayIsReplacedByTheNextWithTheSameNumber) {
    PeerHarness harness;
    harness.open();
    harness.sendMessage(harness.requests.attach());
    harness.take();
    const auto pieces = harness.fragments(harness.requests.tap(Bytes(8000, 0), false, false));
    for (std::size_t k = 0; k < 4; ++k) harness.deliver(pieces[k]);
    // The fifth fragment is lost; the client waited for its token in vain and gave up, and its
    // next request starts with the lost fragment's number.
    harness.transmitSequence = static_cast<std::uint16_t>(harness.transmitSequence + 4);
    harness.sendMessage(harness.requests.command("JTAG.PIN ENABLE"));
    const auto replies = repliesIn(harness.take());
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].status, 0);
    EXPECT_TRUE(harness.debugger.pinsEnabled());
}

TEST(LinkPeer, RequestLongerThanAnyClientSendsIsAnsweredMalformed) {
    PeerHarness harness;
    harness.open();
    Bytes huge = harness.requests.tap(Bytes(20000, 0), false, false);
    harness.sendMessage(huge);
    const auto replies = repliesIn(harness.take());
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].status, quorbit::kStatusMalformed);
}

// The one answer a sender without the link gets: who holds no link with it, and for which of its
// datagrams.
void expectNoLinkAnswer(const std::vector<simtest::SentDatagram>& sent, std::uint8_t type,
                        std::uint8_t reason, std::uint16_t sequence) {
    ASSERT_EQ(sent.size(), 1u);
    const Bytes& answer = sent[0].bytes;
    ASSERT_EQ(answer.size(), 16u);
    EXPECT_EQ(answer[0], type);
    EXPECT_EQ(answer[4], reason);
    EXPECT_EQ(answer[6] | (answer[7] << 8), sequence);
    EXPECT_EQ(std::string(answer.begin() + 8, answer.begin() + 15), "KORAVEN");
}

TEST(LinkPeer, DisconnectForgetsTheLinkAndLaterDataIsRefused) {
    PeerHarness harness;
    harness.open();
    harness.sendMessage(harness.requests.attach());
    harness.take();
    for (int i = 0; i < 5; ++i) harness.deliver(simtest::handshakeDatagram(0x04, 0));
    EXPECT_FALSE(harness.peer.connected());
    EXPECT_FALSE(harness.debugger.attached());
    EXPECT_EQ(harness.counters.disconnects, 1u);
    EXPECT_EQ(harness.counters.malformedDatagrams, 0u) << "the repeated notices are expected";
    const std::uint16_t sequence = harness.transmitSequence;
    harness.sendMessage(harness.requests.attach());
    expectNoLinkAnswer(harness.take(), 0x53, 2, sequence);
    EXPECT_EQ(harness.counters.malformedDatagrams, 1u);
    harness.deliver(simtest::handshakeDatagram(0x02, 77));  // a sync gets the same answer
    expectNoLinkAnswer(harness.take(), 0x53, 2, 77);
}

TEST(LinkPeer, DatagramsFromAnotherSenderAreRefused) {
    PeerHarness harness;
    harness.open();
    quorbit::PeerAddress stranger = harness.client;
    stranger.port = static_cast<std::uint16_t>(stranger.port + 1);
    harness.deliverFrom(stranger, harness.fragments(harness.requests.attach())[0]);
    expectNoLinkAnswer(harness.transport.sent, 0x23, 1, harness.transmitSequence);
    EXPECT_TRUE(harness.transport.destinations.back() == stranger);
    EXPECT_EQ(harness.counters.malformedDatagrams, 1u);
    EXPECT_FALSE(harness.debugger.attached());
}

// A second client's connect while the link's holder is heard from is refused in the same form as
// a stranger's request (reason 1, the connect's own number echoed); a holder silent for the lease
// (gone without a disconnect notice) loses the link, and the holder itself may connect again.
struct LeaseRow {
    const char* name;
    unsigned leaseSeconds;
    int silenceSeconds;  // after the holder's last datagram
    bool fromHolder;     // the connect comes from the holder's own address
    bool accepted;
};

void PrintTo(const LeaseRow& row, std::ostream* out) {
    *out << row.name;
}

class LinkLeaseTest : public ::testing::TestWithParam<LeaseRow> {};

TEST_P(LinkLeaseTest, ASecondClientIsRefusedWhileTheHolderIsHeardFrom) {
    quorbit::SimOptions options;
    options.linkLeaseSeconds = GetParam().leaseSeconds;
    PeerHarness harness(options);
    harness.open();
    harness.attachAndEnable();
    harness.now += std::chrono::seconds(GetParam().silenceSeconds);
    quorbit::PeerAddress other = harness.client;
    if (!GetParam().fromHolder) other.port = static_cast<std::uint16_t>(other.port + 1);
    harness.deliverFrom(other, simtest::handshakeDatagram(0x03, 321, 1024));
    const std::vector<simtest::SentDatagram> sent = harness.take();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_TRUE(harness.transport.destinations.back() == other);
    if (GetParam().accepted) {
        EXPECT_EQ(sent[0].bytes[0], 0x13);
        EXPECT_EQ(harness.counters.connects, 2u);
        EXPECT_FALSE(harness.debugger.attached()) << "a new link starts unattached";
    } else {
        expectNoLinkAnswer(sent, 0x23, 1, 321);
        EXPECT_EQ(harness.counters.connectsRefused, 1u);
        EXPECT_TRUE(harness.peer.connected());
        EXPECT_TRUE(harness.debugger.attached()) << "the holder's link is untouched";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Leases, LinkLeaseTest,
    ::testing::Values(LeaseRow{"HolderHeardJustNow", 5, 0, false, false},
                      LeaseRow{"HolderSilentWithinTheLease", 5, 4, false, false},
                      LeaseRow{"HolderSilentForTheLease", 5, 5, false, true},
                      LeaseRow{"TheHolderConnectsAgain", 5, 0, true, true},
                      LeaseRow{"NoLease", 0, 0, false, true}),
    [](const ::testing::TestParamInfo<LeaseRow>& info) { return info.param.name; });

// Broke: a sync cleared the emulator's memory of executed requests, so a stale sync followed by
// stale copies of two requests made it clock them again: the next call succeeded with wrong bits.
TEST(LinkPeer, RequestIsExecutedAtMostOnceAcrossSyncs) {
    PeerHarness harness;
    harness.open();
    harness.attachAndEnable();
    const std::uint16_t first = harness.transmitSequence;
    const Bytes tms = {0x01};  // one clock with TMS 1
    const std::vector<Bytes> r1 = harness.sendMessage(harness.requests.rawShift(0, 1, &tms, nullptr, false));
    const std::vector<Bytes> r2 = harness.sendMessage(harness.requests.rawShift(0, 1, &tms, nullptr, false));
    ASSERT_EQ(repliesIn(harness.take()).size(), 2u);
    const std::uint64_t executed = harness.counters.requests;
    const std::size_t clocked = harness.debugger.rawShifts().size();

    harness.deliver(simtest::handshakeDatagram(0x02, first));  // the stale sync
    for (const std::vector<Bytes>* copy : {&r1, &r2}) {
        for (const Bytes& fragment : *copy) harness.deliver(fragment);
    }
    EXPECT_EQ(harness.counters.requests, executed);
    EXPECT_EQ(harness.debugger.rawShifts().size(), clocked);

    harness.deliver(simtest::handshakeDatagram(0x02, harness.transmitSequence));
    harness.take();
    harness.sendMessage(harness.requests.rawShift(0, 1, &tms, nullptr, false));
    EXPECT_EQ(repliesIn(harness.take()).size(), 1u) << "a new request still runs";
    EXPECT_EQ(harness.debugger.rawShifts().size(), clocked + 1);
}

struct Malformed {
    const char* name;
    Bytes datagram;
};

class MalformedDatagramTest : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedDatagramTest, IsCountedDroppedAndLeavesTheLinkWorking) {
    PeerHarness harness;
    harness.open();
    harness.deliver(GetParam().datagram);
    EXPECT_TRUE(harness.take().empty());
    EXPECT_EQ(harness.counters.malformedDatagrams, 1u);
    EXPECT_FALSE(harness.log.empty());
    harness.sendMessage(harness.requests.attach());
    EXPECT_EQ(repliesIn(harness.take()).size(), 1u);
}

Bytes withMagicCut(Bytes datagram) {
    datagram[9] = 'X';
    return datagram;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, MalformedDatagramTest,
    ::testing::Values(
        Malformed{"Empty", {}}, Malformed{"UnknownType", {0x99, 0, 0, 0, 0}},
        Malformed{"DataTooShort", {0x11, 0, 1}},
        Malformed{"DataBadContinuation", {0x11, 7, 1, 0, 0}},
        Malformed{"DataLongerThan1472", Bytes(1500, 0x11)},
        Malformed{"SyncOf17Bytes", simtest::handshakeDatagram(0x02, 1, 17)},
        Malformed{"ConfirmWithoutMagic", withMagicCut(simtest::handshakeDatagram(0x22, 1))},
        Malformed{"AckOf3Bytes", {0x07, 0, 0}},
        Malformed{"ConnectWithoutMagic", withMagicCut(simtest::handshakeDatagram(0x03, 1, 1024))}),
    [](const ::testing::TestParamInfo<Malformed>& info) { return info.param.name; });

}  // namespace

namespace {

// Random datagrams, many of them with plausible headers, in any order: the peer refuses or takes
// them, and never reads or writes outside what it was given (the sanitizer build checks that).
TEST(LinkPeerRobustness, RandomDatagramsNeverBreakThePeer) {
    PeerHarness harness;
    harness.open();
    harness.attachAndEnable();
    std::mt19937 random(99);
    const std::uint8_t types[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x07, 0x11, 0x11, 0x11, 0x22, 0x99};
    for (int i = 0; i < 20000; ++i) {
        Bytes datagram(random() % 1500);
        for (auto& byte : datagram) byte = static_cast<std::uint8_t>(random());
        if (!datagram.empty()) datagram[0] = types[random() % sizeof types];
        if (datagram.size() > 16 && random() % 2 == 0) std::memcpy(datagram.data() + 8, kMagic, 8);
        if (datagram.size() > 12 && datagram[0] == 0x11 && random() % 2 == 0) {
            // A request head the peer will try to decode.
            std::fill(datagram.begin() + 4, datagram.begin() + 9, 0);
            datagram[10] = static_cast<std::uint8_t>(0x71 + random() % 4);
            datagram[1] = static_cast<std::uint8_t>(random() % 2);
        }
        harness.deliver(datagram);
        harness.advance(std::chrono::milliseconds(random() % 3));
        harness.take();
    }
    EXPECT_GT(harness.counters.malformedDatagrams, 0u);
    harness.open();
    harness.sendMessage(harness.requests.attach());
    EXPECT_EQ(repliesIn(harness.take()).size(), 1u) << "a fresh connection still works";
}

}  // namespace
