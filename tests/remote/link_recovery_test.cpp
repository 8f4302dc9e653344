// SPDX-License-Identifier: Apache-2.0
// What one lost, repeated, stray or half-sent datagram costs the link: the call it hits at most,
// never the calls after it.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "LinkFixture.h"
#include "remote/LinkRoutines.h"
#include "remote/RemoteLink.h"
#include "remote/RemoteLinkTesting.h"

namespace {

Bytes replyTo(const Bytes& request, uint8_t status = 0, const Bytes& data = {}) {
    return ScriptedPeer::replyMessage(0, status, request.at(kRequestIdOffset), data);
}

class LinkRecoveryTest : public LinkFixture {
  protected:
    void SetUp() override {
        LinkFixture::SetUp();
        ASSERT_EQ(KRV_Connect(), 0);
    }
};

// The second fragment of the first reply never comes: that call fails, the sync before the next
// request puts the peer's numbers right, and every later call is answered.
TEST_F(LinkRecoveryTest, LostReplyFragmentCostsOneCall) {
    useShortTimeouts();
    std::atomic<int> arrivals{0};
    peer.onRequest([&arrivals](ScriptedPeer& p, const Bytes& request) {
        const std::set<size_t> lost = arrivals++ == 0 ? std::set<size_t>{1} : std::set<size_t>{};
        p.sendReply(replyTo(request, 0, Bytes(1500, 7)), ReplyShape{}, lost);
    });
    EXPECT_EQ(KRV_Attach(), -1);
    for (int call = 0; call < 3; ++call) EXPECT_EQ(KRV_Attach(), 0) << call;
    EXPECT_EQ(peer.datagramsOfType(LINK_SYNC_REQUEST).size(), 2u) << "the connect's and one more";
}

// A front end that forgot the link answers no sync: the call after the failure says the link is
// lost, and the calls after it fail without sending anything, until the link is opened again.
TEST_F(LinkRecoveryTest, FrontEndThatForgotTheLinkFailsTheCallsAtOnce) {
    useShortTimeouts();
    peer.onRequest([](ScriptedPeer&, const Bytes&) {});
    EXPECT_EQ(KRV_Attach(), -1);
    peer.onSync([](ScriptedPeer&, const Bytes&) {});
    EXPECT_EQ(KRV_Attach(), kLinkLostResult);
    const size_t sent = peer.datagrams().size();
    EXPECT_EQ(KRV_Attach(), kLinkLostResult);
    EXPECT_EQ(KRV_ExecuteCommand("JTAG.PIN ENABLE"), kLinkLostResult);
    EXPECT_EQ(peer.datagrams().size(), sent) << "nothing goes out on a lost link";

    peer.onSync(nullptr);
    peer.onRequest(nullptr);
    KRV_Disconnect();
    ASSERT_EQ(KRV_Connect(), 0);
    EXPECT_EQ(KRV_Attach(), 0);
}

struct RepetitionCase {
    int repetitions;  // of the first reply, ahead of the second reply
};

class LinkRepetitionTest : public LinkRecoveryTest,
                           public ::testing::WithParamInterface<RepetitionCase> {};

// The second request is resent once however often the previous reply comes again, and the
// peer's answer to that resend (one more repetition, as a front end that had the request gives)
// makes no resend of the third.
TEST_P(LinkRepetitionTest, ResendsOnceAndLetsTheEchoPass) {
    const int repetitions = GetParam().repetitions;
    std::atomic<int> arrivals{0};
    peer.onRequest([&arrivals, repetitions](ScriptedPeer& p, const Bytes& request) {
        const int arrival = arrivals++;
        if (arrival == 2) {
            p.repeatPreviousReply();
            return;
        }
        if (arrival == 1) {
            for (int i = 0; i < repetitions; ++i) p.repeatPreviousReply();
        }
        p.sendReply(replyTo(request, static_cast<uint8_t>(arrival)));
    });
    EXPECT_EQ(KRV_Attach(), 0);
    EXPECT_EQ(KRV_Attach(), 1);
    EXPECT_EQ(KRV_Attach(), 3);
    const std::vector<Bytes> requests = peer.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[1], requests[2]);
}

INSTANTIATE_TEST_SUITE_P(Repetitions, LinkRepetitionTest,
                         ::testing::Values(RepetitionCase{1}, RepetitionCase{3}));

// A socket layer whose datagrams stop going out whole at the second one after arming.
std::atomic<int> gWholeSendsLeft{-1};

int cutSendTo(LinkSocket socket, const uint8_t* data, int length, const LinkAddress& to) {
    if (gWholeSendsLeft.load() == 0) {
        return kLinkSystemSocketOps.sendTo(socket, data, length / 2, to);
    }
    if (gWholeSendsLeft.load() > 0) --gWholeSendsLeft;
    return kLinkSystemSocketOps.sendTo(socket, data, length, to);
}

int cutSendBatch(LinkSocket socket, const LinkBatchDatagram* datagrams, int count,
                 const LinkAddress& to) {
    if (gWholeSendsLeft.load() < 0) {
        return kLinkSystemSocketOps.sendBatch(socket, datagrams, count, to);
    }
    return kLinkSystemSocketOps.sendBatch(socket, datagrams, 1, to);
}

struct CutCase {
    bool batched;
};

class LinkPartialSendTest : public LinkRecoveryTest, public ::testing::WithParamInterface<CutCase> {
  protected:
    void TearDown() override {
        gWholeSendsLeft = -1;
        LinkRecoveryTest::TearDown();
    }
};

// A three-fragment request of which only the first goes out whole fails at once as not
// transmitted (no reply is waited for), and the next request, synchronised first, is answered.
TEST_P(LinkPartialSendTest, FailsTheCallAtOnceAndTheNextOneWorks) {
    static LinkSocketOps ops = kLinkSystemSocketOps;
    ops = kLinkSystemSocketOps;
    if (GetParam().batched) {
        ops.sendBatch = cutSendBatch;
    } else {
        ops.sendTo = cutSendTo;
    }
    LinkSetSocketOpsForTest(&ops);
    gWholeSendsLeft = 1;
    EXPECT_EQ(KRV_ExecuteCommand(std::string(2048, 'c').c_str()), -2);
    EXPECT_EQ(KRV_LastResult(), -2);
    EXPECT_TRUE(peer.requests().empty());
    gWholeSendsLeft = -1;
    EXPECT_EQ(KRV_Attach(), 0);
    EXPECT_EQ(peer.datagramsOfType(LINK_SYNC_REQUEST).size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Sends, LinkPartialSendTest,
                         ::testing::Values(CutCase{false}, CutCase{true}));

Bytes staleFragment() {
    Bytes fragment = {LINK_DATA_IN, 0, 0x0F, 0x27};  // sequence 9999, expected by nobody
    fragment.resize(40, 0xEE);
    return fragment;
}

// A stale reply fragment and a notification ahead of every flow token: the long request still
// goes out whole and is answered.
TEST_F(LinkRecoveryTest, FlowControlWaitTakesOnlyAToken) {
    peer.setBeforeToken({staleFragment(), Bytes{LINK_NOTIFY, 1, 2, 3, 4, 5}});
    EXPECT_EQ(KRV_TAPAccessShiftRaw(0, 100000, nullptr, Bytes(12500, 0x5A).data(), nullptr), 0);
    EXPECT_EQ(peer.requests().size(), 1u);
    EXPECT_GT(KRV_NotificationCount(), 0);
}

class LinkStrayHandshakeTest : public LinkRecoveryTest,
                               public ::testing::WithParamInterface<uint8_t> {};

// Repeated or late answers of a sync or a connect before the reply are passed over.
TEST_P(LinkStrayHandshakeTest, IsSkippedDuringAReply) {
    const uint8_t type = GetParam();
    peer.onRequest([type](ScriptedPeer& p, const Bytes& request) {
        p.send(ScriptedPeer::controlDatagram(type, 4000));
        p.sendReply(replyTo(request, 6));
    });
    EXPECT_EQ(KRV_Attach(), 6);
}

INSTANTIATE_TEST_SUITE_P(Answers, LinkStrayHandshakeTest,
                         ::testing::Values(LINK_SYNC_REPLY, LINK_SYNC_AGAIN, LINK_CONNECT_ACCEPT,
                                           LINK_CONNECT_REFUSED));

}  // namespace
