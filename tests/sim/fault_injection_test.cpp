// SPDX-License-Identifier: Apache-2.0
// Each fault of the plan as the client would see it on the wire, and the seeded reproducibility
// of the random ones.
#include <gtest/gtest.h>

#include <cstring>

#include "support/PeerHarness.h"

namespace {

using simtest::Bytes;
using simtest::optionsWithFaults;
using simtest::PeerHarness;
using simtest::repliesIn;
using simtest::SentDatagram;

// The reply fragments alone (flow tokens for the request left out).
std::vector<SentDatagram> fragmentsOnly(const std::vector<SentDatagram>& sent) {
    std::vector<SentDatagram> result;
    for (const auto& datagram : sent) {
        if (datagram.bytes[0] == 0x01) result.push_back(datagram);
    }
    return result;
}

std::vector<Bytes> bytesOf(const std::vector<SentDatagram>& sent) {
    std::vector<Bytes> result;
    for (const auto& datagram : sent) result.push_back(datagram.bytes);
    return result;
}

TEST(FaultInjection, BusyFirstSends254ThenTheRealReply) {
    PeerHarness harness(optionsWithFaults("busy-first"));
    harness.open();
    harness.sendMessage(harness.requests.attach());
    const auto replies = repliesIn(harness.take());
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].status, quorbit::kStatusBusy);
    EXPECT_EQ(replies[0].id, 1);
    EXPECT_EQ(replies[1].status, 0);
    EXPECT_EQ(replies[1].id, 1);
    EXPECT_EQ(replies[1].firstSequence, static_cast<std::uint16_t>(replies[0].firstSequence + 1));
}

TEST(FaultInjection, StaleFirstAnswersWithThePreviousMessageIdFirst) {
    PeerHarness harness(optionsWithFaults("stale-first"));
    harness.open();
    harness.sendMessage(harness.requests.attach());
    harness.take();
    harness.sendMessage(harness.requests.command("JTAG.PIN ENABLE"));
    const auto replies = repliesIn(harness.take());
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].id, 1);
    EXPECT_EQ(replies[1].id, 2);
}

TEST(FaultInjection, SameToggleFirstRepeatsThePreviousToggleThenFlipsIt) {
    PeerHarness harness(optionsWithFaults("same-toggle-first"));
    harness.open();
    harness.sendMessage(harness.requests.attach());
    const auto first = repliesIn(harness.take());
    ASSERT_EQ(first.size(), 1u)
        << "no decoy while the client's toggle is unknown: it would take it";
    const std::uint8_t accepted = first[0].flags;
    harness.sendMessage(harness.requests.command("JTAG.PIN ENABLE"));
    const auto replies = repliesIn(harness.take());
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].flags, accepted) << "looks like a repetition of the last reply";
    EXPECT_EQ(replies[0].id, 2);
    EXPECT_NE(replies[1].flags & 0x10, accepted & 0x10);
    // The client's empty message after the repetition is taken without a reply.
    harness.sendMessage({});
    EXPECT_TRUE(harness.take().empty());
}

TEST(FaultInjection, SameToggleDecoyComesBeforeBusySinceStatus254ResetsTheClientsToggle) {
    PeerHarness harness(optionsWithFaults("same-toggle-first,busy-first"));
    harness.open();
    harness.sendMessage(harness.requests.attach());
    harness.take();
    harness.sendMessage(harness.requests.attach());
    const auto replies = repliesIn(harness.take());
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0].status, 0);
    EXPECT_EQ(replies[1].status, quorbit::kStatusBusy);
    EXPECT_EQ(replies[2].status, 0);
}

TEST(FaultInjection, NotifyAndTokenFirstPrecedeTheReply) {
    PeerHarness harness(optionsWithFaults("notify,token-first"));
    harness.open();
    harness.sendMessage(harness.requests.attach());
    const auto sent = harness.take();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].bytes[0], 0x06);
    EXPECT_GE(sent[0].bytes.size(), 5u);
    EXPECT_TRUE(simtest::isFlowToken(sent[1]));
    EXPECT_EQ(sent[2].bytes[0], 0x01);
    EXPECT_EQ(harness.counters.notificationsSent, 1u);
    EXPECT_EQ(harness.counters.flowTokensSent, 0u) << "a decoration is not flow control";
}

TEST(FaultInjection, TokensBetweenInterleaveTokenAndNotificationBetweenFragmentsOnly) {
    PeerHarness harness(optionsWithFaults("tokens-between"));
    harness.open();
    harness.attachAndEnable();
    const Bytes tdi(2500, 0x3C);
    harness.sendMessage(harness.requests.rawShift(0, 20000, nullptr, &tdi, true));
    const auto sent = harness.take();
    std::string shape;
    for (const auto& datagram : sent) {
        shape += simtest::isFlowToken(datagram) ? '+' : datagram.bytes[0] == 0x06 ? 'n' : 'F';
    }
    EXPECT_EQ(shape, "F+nF+nF");
    EXPECT_EQ(repliesIn(sent).at(0).data.size(), tdi.size());
}

TEST(FaultInjection, SpoofSendsAnInvertedCopyFromTheOtherSocketFirst) {
    PeerHarness harness(optionsWithFaults("spoof"));
    harness.open();
    harness.attachAndEnable();
    const Bytes reset = {0xFF};
    const Bytes toShiftDr = {0x02};
    const Bytes ones(9, 0xFF);
    harness.sendMessage(harness.requests.rawShift(0, 6, &reset, nullptr, false));
    harness.sendMessage(harness.requests.rawShift(0, 4, &toShiftDr, nullptr, false));
    harness.take();
    harness.sendMessage(harness.requests.rawShift(8, 65, nullptr, &ones, true));
    const auto replies = repliesIn(harness.take());
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_TRUE(replies[0].fromSecondSocket);
    EXPECT_FALSE(replies[1].fromSecondSocket);
    EXPECT_EQ(replies[0].firstSequence, replies[1].firstSequence);
    ASSERT_EQ(replies[0].data.size(), replies[1].data.size());
    for (std::size_t i = 0; i < replies[0].data.size(); ++i) {
        EXPECT_EQ(replies[0].data[i], static_cast<std::uint8_t>(~replies[1].data[i]));
    }
}

TEST(FaultInjection, DupReplySendsTheSameDatagramsTwice) {
    PeerHarness harness(optionsWithFaults("dup-reply"));
    harness.open();
    harness.sendMessage(harness.requests.attach());
    const auto sent = bytesOf(harness.take());
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], sent[1]);
}

TEST(FaultInjection, DelayReplyHoldsTheReplyUntilItsTimeHasCome) {
    PeerHarness harness(optionsWithFaults("delay-reply=20ms"));
    harness.open();
    harness.sendMessage(harness.requests.attach());
    EXPECT_TRUE(harness.take().empty());
    ASSERT_TRUE(harness.peer.nextDeadline().has_value());
    EXPECT_EQ(*harness.peer.nextDeadline(), harness.now + std::chrono::milliseconds(20));
    harness.advance(std::chrono::milliseconds(19));
    EXPECT_TRUE(harness.take().empty());
    harness.advance(std::chrono::milliseconds(1));
    EXPECT_EQ(repliesIn(harness.take()).size(), 1u);
    EXPECT_FALSE(harness.peer.nextDeadline().has_value());
}

TEST(FaultInjection, AckEveryPausesTheReplyUntilTheAcknowledgementArrives) {
    quorbit::SimOptions options = optionsWithFaults("ack-every=2");
    options.ackWaitMs = 30;
    PeerHarness harness(options);
    harness.open();
    harness.attachAndEnable();
    const Bytes tdi(7000, 0x11);  // a reply of seven fragments
    harness.sendMessage(harness.requests.rawShift(0, 56000, nullptr, &tdi, true));
    auto sent = fragmentsOnly(harness.take());
    ASSERT_EQ(sent.size(), 2u) << "two fragments, the second asks for an acknowledgement";
    EXPECT_EQ(sent[0].bytes[1], 1);
    EXPECT_EQ(sent[1].bytes[1], 2);
    harness.deliver(simtest::handshakeDatagram(0x07, 0));
    sent = fragmentsOnly(harness.take());
    ASSERT_EQ(sent.size(), 2u) << "up to the next fragment that asks";
    EXPECT_EQ(sent[1].bytes[1], 2);
    harness.advance(std::chrono::milliseconds(29));
    EXPECT_TRUE(fragmentsOnly(harness.take()).empty());
    harness.advance(std::chrono::milliseconds(1));  // no acknowledgement: go on anyway
    sent = fragmentsOnly(harness.take());
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].bytes[1], 2);
    harness.deliver(simtest::handshakeDatagram(0x07, 0));
    sent = fragmentsOnly(harness.take());
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes[1], 0);
    EXPECT_EQ(harness.counters.acksReceived, 2u);
}

TEST(FaultInjection, RestartAfterForgetsTheLinkAfterTheNthRequest) {
    PeerHarness harness(optionsWithFaults("restart-after=2"));
    harness.open();
    harness.sendMessage(harness.requests.attach());
    harness.sendMessage(harness.requests.command("JTAG.PIN ENABLE"));
    EXPECT_EQ(repliesIn(harness.take()).size(), 2u) << "the second reply still goes out";
    EXPECT_FALSE(harness.peer.connected());
    EXPECT_FALSE(harness.debugger.pinsEnabled());
    harness.sendMessage(harness.requests.attach());
    const auto answers = harness.take();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].bytes[0], 0x53) << "no link any more: the client must connect again";
    harness.open();  // a reconnect works, and the restart happens only once
    harness.sendMessage(harness.requests.attach());
    harness.sendMessage(harness.requests.attach());
    EXPECT_EQ(repliesIn(harness.take()).size(), 2u);
    EXPECT_TRUE(harness.peer.connected());
}

struct ConnectAnswer {
    const char* faults;
    std::uint8_t type;
};

class RefusedConnectTest : public ::testing::TestWithParam<ConnectAnswer> {};

TEST_P(RefusedConnectTest, ConnectIsAnsweredWithTheConfiguredRefusal) {
    PeerHarness harness(optionsWithFaults(GetParam().faults));
    harness.deliver(simtest::handshakeDatagram(0x03, 1, 1024));
    const auto sent = harness.take();
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0].bytes.size(), 16u);
    EXPECT_EQ(sent[0].bytes[0], GetParam().type);
    EXPECT_EQ(std::memcmp(sent[0].bytes.data() + 8, "KORAVEN", 8), 0);
    EXPECT_FALSE(harness.peer.connected());
}

INSTANTIATE_TEST_SUITE_P(Kinds, RefusedConnectTest,
                         ::testing::Values(ConnectAnswer{"refuse", 0x23},
                                           ConnectAnswer{"deny", 0x53}));

TEST(FaultInjection, SilentSendsNothingAtAll) {
    PeerHarness harness(optionsWithFaults("silent"));
    harness.deliver(simtest::handshakeDatagram(0x03, 1, 1024));
    EXPECT_TRUE(harness.take().empty());
}

TEST(FaultInjection, SilentAfterAnswersTheFirstRequestsOnly) {
    PeerHarness harness(optionsWithFaults("silent-after=2"));
    harness.open();
    for (int i = 0; i < 3; ++i) harness.sendMessage(harness.requests.attach());
    EXPECT_EQ(repliesIn(harness.take()).size(), 2u);
}

TEST(FaultInjection, SyncAgainAnswersTheFirstSyncOfAConnection) {
    PeerHarness harness(optionsWithFaults("sync-again"));
    harness.deliver(simtest::handshakeDatagram(0x03, 1, 1024));
    harness.take();
    harness.deliver(simtest::handshakeDatagram(0x02, 1));
    harness.deliver(simtest::handshakeDatagram(0x02, 1));
    const auto sent = harness.take();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].bytes[0], 0x05);
    EXPECT_EQ(sent[0].bytes.size(), 16u);
    EXPECT_EQ(sent[1].bytes[0], 0x12);
}

TEST(FaultInjection, AttachAndReleaseFailOnRequest) {
    PeerHarness harness(optionsWithFaults("attach-fails,release-fails"));
    harness.open();
    harness.sendMessage(harness.requests.attach());
    harness.sendMessage(harness.requests.release());
    const auto replies = repliesIn(harness.take());
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].status, quorbit::kStatusAttachFailed);
    EXPECT_EQ(replies[1].status, quorbit::kStatusReleaseFailed);
}

TEST(FaultInjection, RepeatIdleSendsTheLastReplyOnceMoreWhenNoRequestFollows) {
    PeerHarness harness(optionsWithFaults("repeat-idle=50ms"));
    harness.open();
    harness.sendMessage(harness.requests.attach());
    const auto reply = bytesOf(harness.take());
    harness.advance(std::chrono::milliseconds(50));
    EXPECT_EQ(bytesOf(harness.take()), reply);
    harness.advance(std::chrono::milliseconds(500));
    EXPECT_TRUE(harness.take().empty()) << "only once";
}

TEST(FaultInjection, ChatterNeverAnswersButSendsTokenNotificationAndStaleFragmentInTurn) {
    PeerHarness harness(optionsWithFaults("chatter=10ms"));
    harness.open();
    harness.sendMessage(harness.requests.attach());
    EXPECT_TRUE(harness.take().empty());
    std::vector<Bytes> chatter;
    for (int i = 0; i < 6; ++i) {
        harness.advance(std::chrono::milliseconds(10));
        for (const Bytes& datagram : bytesOf(harness.take())) chatter.push_back(datagram);
    }
    ASSERT_EQ(chatter.size(), 6u);
    for (size_t i = 0; i < chatter.size(); ++i) {
        const uint8_t expectedType[] = {'+', 0x06, 0x01};
        EXPECT_EQ(chatter[i][0], expectedType[i % 3]) << i;
    }
    EXPECT_EQ(chatter[0].size(), 1u);
    EXPECT_TRUE(repliesIn(harness.take()).empty());
}

// The random faults: the same seed and the same traffic give the same datagrams.
std::vector<Bytes> lossyRun(std::uint64_t seed) {
    quorbit::SimOptions options = optionsWithFaults("drop-in=0.3,drop-out=0.3,notify=0.5");
    options.faults.seed = seed;
    PeerHarness harness(options);
    harness.open();
    for (int i = 0; i < 60; ++i) harness.sendMessage(harness.requests.attach());
    return bytesOf(harness.take());
}

TEST(FaultInjection, SameSeedGivesTheSameFaultsAndAnotherSeedOthers) {
    const auto first = lossyRun(42);
    EXPECT_EQ(lossyRun(42), first);
    EXPECT_NE(lossyRun(43), first);
    EXPECT_LT(first.size(), 60u * 2u) << "something was dropped";
}

}  // namespace
