// SPDX-License-Identifier: Apache-2.0
// What one lost, repeated, stray or half-sent datagram costs the link: the call it hits at most,
// never the calls after it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
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

// The front end's word that it holds no link with the sender of the datagram numbered `echoed`.
Bytes noLinkAnswer(uint8_t type, uint16_t echoed) {
    Bytes answer = ScriptedPeer::controlDatagram(type, 4000);
    answer[kLinkReasonOffset] = type == LINK_CONNECT_DENIED ? kLinkReasonNoLink : kLinkReasonBusy;
    storeLE16(answer.data() + kLinkEchoOffset, echoed);
    return answer;
}

uint16_t sequenceOf(const Bytes& datagram) {
    return loadLE16(datagram.data() + 2);
}

// An outage ends no session: while the front end answers nothing, every call fails after its
// time-out and the next one synchronises again; the first call after it answers works.
TEST_F(LinkRecoveryTest, SilentFrontEndCostsTheCallsOfTheOutageOnly) {
    useShortTimeouts();
    peer.onRequest([](ScriptedPeer&, const Bytes&) {});
    peer.onSync([](ScriptedPeer&, const Bytes&) {});
    for (int call = 0; call < 3; ++call) EXPECT_EQ(KRV_Attach(), -1) << call;
    EXPECT_FALSE(LinkStateForTest().lost);
    peer.onSync(nullptr);
    peer.onRequest(nullptr);
    EXPECT_EQ(KRV_Attach(), 0);
}

struct ForgottenCase {
    const char* name;
    uint8_t type;     // denied (no link) or refused (another client holds it)
    bool duringSync;  // the answer to the sync before a request, or to the request itself
};

class LinkForgottenTest : public LinkRecoveryTest,
                          public ::testing::WithParamInterface<ForgottenCase> {};

// Only the front end's answer for this very datagram ends the link: a late one for an older
// datagram is passed over. Afterwards the calls fail at once, sending nothing, until a new open.
TEST_P(LinkForgottenTest, AnswerThatTheFrontEndHoldsNoLinkEndsItAtOnce) {
    const ForgottenCase c = GetParam();
    const uint8_t type = c.type;
    peer.onRequest([type](ScriptedPeer& p, const Bytes& request) {
        p.send(noLinkAnswer(type, 30000));  // late: names a datagram long gone
        p.sendReply(replyTo(request, 0));
    });
    ASSERT_EQ(KRV_Attach(), 0);
    if (c.duringSync) {
        useShortTimeouts();
        peer.onRequest([](ScriptedPeer&, const Bytes&) {});
        EXPECT_EQ(KRV_Attach(), -1);
        peer.onSync([type](ScriptedPeer& p, const Bytes& sync) {
            p.send(noLinkAnswer(type, sequenceOf(sync)));
        });
    } else {
        peer.onRequest([type](ScriptedPeer& p, const Bytes&) {
            p.send(noLinkAnswer(type, p.lastFragmentSequence()));
        });
    }
    EXPECT_EQ(KRV_Attach(), kLinkLostResult);
    const size_t sent = peer.datagrams().size();
    EXPECT_EQ(KRV_ExecuteCommand("JTAG.PIN ENABLE"), kLinkLostResult);
    EXPECT_EQ(peer.datagrams().size(), sent) << "nothing goes out on a lost link";

    peer.onSync(nullptr);
    peer.onRequest(nullptr);
    KRV_Disconnect();
    ASSERT_EQ(KRV_Connect(), 0);
    EXPECT_EQ(KRV_Attach(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, LinkForgottenTest,
    ::testing::Values(ForgottenCase{"DeniedToTheSync", LINK_CONNECT_DENIED, true},
                      ForgottenCase{"RefusedToTheSync", LINK_CONNECT_REFUSED, true},
                      ForgottenCase{"DeniedToTheRequest", LINK_CONNECT_DENIED, false},
                      ForgottenCase{"RefusedToTheRequest", LINK_CONNECT_REFUSED, false}),
    [](const ::testing::TestParamInfo<ForgottenCase>& info) { return info.param.name; });

struct RepetitionCase {
    const char* name;
    int copiesAhead;  // of the first reply, ahead of the second reply
    int copiesAmong;  // of the first reply, after the second reply's first fragment
};

class LinkRepetitionTest : public LinkRecoveryTest,
                           public ::testing::WithParamInterface<RepetitionCase> {};

// A repetition of the previous reply ahead of the second reply makes one resend; copies that come
// once the reply has begun make none. The peer's answer to that resend (one more repetition, as a
// front end that had the request gives) makes no resend of the third.
TEST_P(LinkRepetitionTest, ResendsOnceAndLetsTheEchoPass) {
    const RepetitionCase c = GetParam();
    std::atomic<int> arrivals{0};
    peer.onRequest([&arrivals, c](ScriptedPeer& p, const Bytes& request) {
        const int arrival = arrivals++;
        if (arrival == 2) {
            p.repeatPreviousReply();
            return;
        }
        ReplyShape shape;
        if (arrival == 1) {
            for (int i = 0; i < c.copiesAhead; ++i) p.repeatPreviousReply();
            for (int i = 0; i < c.copiesAmong; ++i) {
                for (const Bytes& fragment : p.previousReply()) shape.before[1].push_back(fragment);
            }
        }
        p.sendReply(replyTo(request, static_cast<uint8_t>(arrival), Bytes(1500, 9)), shape);
    });
    EXPECT_EQ(KRV_Attach(), 0);
    EXPECT_EQ(KRV_Attach(), 1);
    EXPECT_EQ(KRV_Attach(), 3);
    const std::vector<Bytes> requests = peer.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[1], requests[2]);
}

INSTANTIATE_TEST_SUITE_P(Repetitions, LinkRepetitionTest,
                         ::testing::Values(RepetitionCase{"OneAhead", 1, 0},
                                           RepetitionCase{"OneAheadTwoAmongTheReply", 1, 2}),
                         [](const ::testing::TestParamInfo<RepetitionCase>& info) {
                             return info.param.name;
                         });

struct BrokenCase {
    const char* name;
    int brokenSends;   // of the second request, answered as a front end that got them broken
    bool longRequest;  // a raw shift of 100000 bits: 13 fragments, most after a flow token
};

class LinkBrokenResendTest : public LinkRecoveryTest,
                             public ::testing::WithParamInterface<BrokenCase> {};

// Broke: a resend that reached the front end broken too (a network that reorders back-to-back
// fragments) was not followed by another, and the call failed after its time-out. Now further
// resends follow until one comes whole, the reply is right and the next call needs no resend;
// after six broken sends the call fails and the next one, synchronised first, is answered.
TEST_P(LinkBrokenResendTest, ResendsUntilTheRequestComesWhole) {
    const BrokenCase c = GetParam();
    // A call that fails then waits one reply time-out.
    if (c.brokenSends > 5) LinkSetTimeoutsForTest(0, 1000000);
    Bytes tdo(12500);
    for (size_t i = 0; i < tdo.size(); ++i) tdo[i] = static_cast<uint8_t>(i * 7 + i / 253);
    std::atomic<int> arrivals{0};
    peer.onRequest([&](ScriptedPeer& p, const Bytes& request) {
        const int arrival = arrivals++;
        if (arrival >= 1 && arrival <= c.brokenSends) {
            p.repeatPreviousReply();
            return;
        }
        if (arrival == 1 + c.brokenSends && c.longRequest) {
            p.sendReply(replyTo(request, 0, tdo));
        } else {
            p.sendReply(replyTo(request, static_cast<uint8_t>(arrival)));
        }
    });
    ASSERT_EQ(KRV_Attach(), 0);
    const int sends = std::min(c.brokenSends, 5) + 1;
    const int expected = c.brokenSends < sends ? sends : -1;
    if (c.longRequest) {
        Bytes captured(tdo.size(), 0);
        const Bytes tdi(tdo.size(), 0x3C);
        ASSERT_EQ(KRV_TAPAccessShiftRaw(0, 100000, nullptr, tdi.data(), captured.data()), 0);
        EXPECT_EQ(captured, tdo);
    } else {
        EXPECT_EQ(KRV_Attach(), expected);
    }
    EXPECT_EQ(KRV_Attach(), expected < 0 ? 1 + c.brokenSends : sends + 1);
    const std::vector<Bytes> requests = peer.requests();
    ASSERT_EQ(requests.size(), static_cast<size_t>(sends + 2));
    for (int send = 2; send <= sends; ++send) EXPECT_EQ(requests[1], requests[send]) << send;
    EXPECT_EQ(peer.datagramsOfType(LINK_SYNC_REQUEST).size(), expected < 0 ? 2u : 1u);
}

INSTANTIATE_TEST_SUITE_P(Sends, LinkBrokenResendTest,
                         ::testing::Values(BrokenCase{"ShortTwice", 2, false},
                                           BrokenCase{"LongTwice", 2, true},
                                           BrokenCase{"LongFourTimes", 4, true},
                                           BrokenCase{"ShortNeverWhole", 6, false}),
                         [](const ::testing::TestParamInfo<BrokenCase>& info) {
                             return info.param.name;
                         });

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

struct ReorderCase {
    const char* name;
    uint32_t seed;  // 0: reversed; otherwise a seeded shuffle
    bool copies;    // every fragment twice
};

class LinkReorderTest : public LinkFixture, public ::testing::WithParamInterface<ReorderCase> {
  protected:
    void SetUp() override {
        LinkFixture::SetUp();
        setItem("PACKLEN=", "352");  // a whole TDO block is then 45 reply fragments
        ASSERT_EQ(KRV_Connect(), 0);
    }
};

// The network may deliver the fragments of a long reply in any order: they are put back in place,
// copies are dropped, and the reply comes whole within the same call; the next call is answered.
TEST_P(LinkReorderTest, FragmentsOfAReplyArePutBackInOrder) {
    const ReorderCase c = GetParam();
    Bytes tdo(15352);
    for (size_t i = 0; i < tdo.size(); ++i) tdo[i] = static_cast<uint8_t>(i * 13 + i / 251);
    ReplyShape shape;
    for (size_t index = 45; index-- > 0;) shape.order.push_back(index);
    if (c.seed != 0) {
        std::mt19937 random(c.seed);
        std::shuffle(shape.order.begin(), shape.order.end(), random);
    }
    if (c.copies) {
        const std::vector<size_t> once = shape.order;
        shape.order.insert(shape.order.end(), once.rbegin(), once.rend());
    }
    peer.onRequest([&](ScriptedPeer& p, const Bytes& request) {
        p.sendReply(replyTo(request, 0, tdo), shape);
    });
    Bytes captured(tdo.size(), 0);
    const uint16_t before = LinkStateForTest().receiveSequence;
    ASSERT_EQ(KRV_TAPAccessShiftRaw(0, 122816, nullptr, nullptr, captured.data()), 0);
    EXPECT_EQ(captured, tdo);
    EXPECT_EQ(LinkStateForTest().receiveSequence, static_cast<uint16_t>(before + 45));
    peer.onRequest(nullptr);
    EXPECT_EQ(KRV_Attach(), 0);
}

INSTANTIATE_TEST_SUITE_P(Orders, LinkReorderTest,
                         ::testing::Values(ReorderCase{"Reversed", 0, false},
                                           ReorderCase{"Shuffled", 7, false},
                                           ReorderCase{"ShuffledTwice", 8, true},
                                           ReorderCase{"ShuffledAgain", 9, false}),
                         [](const ::testing::TestParamInfo<ReorderCase>& info) {
                             return info.param.name;
                         });

// Broke: a long request whose last flow token came after the reply's fragments (a network that
// delays datagrams unevenly) kept only the first of them, and the call failed after its time-out.
TEST_F(LinkRecoveryTest, ReplyFragmentsAheadOfTheLastFlowTokenAreKept) {
    peer.setTokenAfterReply(true);
    const Bytes tdo = Bytes(12500, 0xC3);
    peer.onRequest([&](ScriptedPeer& p, const Bytes& request) {
        p.sendReply(replyTo(request, 0, tdo));
    });
    Bytes captured(tdo.size(), 0);
    ASSERT_EQ(KRV_TAPAccessShiftRaw(0, 100000, nullptr, Bytes(12500, 0x5A).data(), captured.data()),
              0);
    EXPECT_EQ(captured, tdo);
    peer.onRequest(nullptr);
    EXPECT_EQ(KRV_Attach(), 0);
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
