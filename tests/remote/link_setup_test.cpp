// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "LinkFixture.h"
#include "remote/LinkRoutines.h"
#include "remote/RemoteLink.h"
#include "remote/RemoteLinkTesting.h"

namespace {

using LinkSetupTest = LinkFixture;

const RemoteLinkState& link() {
    return LinkStateForTest();
}

Bytes connectRequest(size_t length, uint16_t peerPort, uint16_t ownPort) {
    Bytes expected = ScriptedPeer::controlDatagram(LINK_CONNECT_REQUEST, 1, length);
    storeLE16(&expected[4], peerPort);
    storeLE16(&expected[6], ownPort);
    return expected;
}

TEST_F(LinkSetupTest, ConnectSendsHandshakeSyncAndConfirmByteForByte) {
    peer.setSequence(0x1234);
    ASSERT_EQ(KRV_Connect(), 0);
    EXPECT_NE(link().ownPort, 0);
    const std::vector<Bytes> expected = {
        connectRequest(1024, peer.port(), link().ownPort),
        ScriptedPeer::controlDatagram(LINK_SYNC_REQUEST, 1),
        ScriptedPeer::controlDatagram(LINK_SYNC_CONFIRM, 1),
    };
    EXPECT_EQ(peer.datagrams(), expected);
    EXPECT_EQ(link().connected, 1);
    EXPECT_EQ(link().transmitSequence, 1);  // the sync does not advance it
    EXPECT_EQ(link().receiveSequence, 0x1234);
    EXPECT_EQ(link().previousReplySequence, 0x1234 - 100);
    EXPECT_EQ(link().replyToggle, -1);
}

TEST_F(LinkSetupTest, PreviousReplySequenceWrapsBelowZero) {
    peer.setSequence(20);
    ASSERT_EQ(KRV_Connect(), 0);
    EXPECT_EQ(link().previousReplySequence, 65536 + 20 - 100);
}

TEST_F(LinkSetupTest, AcceptOf600BytesSetsThePacketLengthBeyondTheLink) {
    peer.onConnect([](ScriptedPeer& p, const Bytes&) { p.acceptConnect(600); });
    ASSERT_EQ(KRV_Connect(), 0);
    EXPECT_EQ(link().packetLength, 600);
    KRV_Disconnect();
    EXPECT_EQ(link().packetLength, 600);
    ASSERT_EQ(KRV_Connect(), 0);
    const std::vector<Bytes> connects = peer.datagramsOfType(LINK_CONNECT_REQUEST);
    ASSERT_EQ(connects.size(), 2u);
    EXPECT_EQ(connects[0].size(), 1024u);
    EXPECT_EQ(connects[1].size(), 600u);
}

// A front end configured for the longest datagrams is reached with the default packet length.
TEST_F(LinkSetupTest, AcceptLongerThanTheRequestSetsThePacketLength) {
    peer.onConnect([](ScriptedPeer& p, const Bytes&) { p.acceptConnect(1472); });
    ASSERT_EQ(KRV_Connect(), 0);
    EXPECT_EQ(link().packetLength, 1472);
    EXPECT_EQ(KRV_ExecuteCommand(std::string(2000, 'c').c_str()), 0);
    EXPECT_EQ(peer.datagramsOfType(LINK_DATA_OUT).at(0).size(), 1472u);
}

class LinkRefusalTest : public LinkFixture, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(LinkRefusalTest, EndsTheOpenAtOnceAndClosesTheSocket) {
    const uint8_t answer = GetParam();
    peer.onConnect([answer](ScriptedPeer& p, const Bytes&) {
        Bytes refusal = ScriptedPeer::controlDatagram(answer, 9);
        refusal[4] = 0xDE;  // detail bytes the client does not use
        p.send(refusal);
    });
    char text[kLinkTextSize] = {};
    EXPECT_EQ(LinkOpen(text), -1);
    EXPECT_STREQ(text, "KORAVEN access refused");
    EXPECT_EQ(link().connected, 0);
    EXPECT_EQ(link().socket, kInvalidLinkSocket);
    EXPECT_EQ(link().receiveSequence, 9);
    EXPECT_EQ(peer.datagramsOfType(LINK_CONNECT_REQUEST).size(), 1u);
    EXPECT_EQ(KRV_Connect(), -1);
}

INSTANTIATE_TEST_SUITE_P(Answers, LinkRefusalTest,
                         ::testing::Values(LINK_CONNECT_REFUSED, LINK_CONNECT_DENIED));

TEST_F(LinkSetupTest, SilentPeerIsAskedTenTimes) {
    useShortTimeouts();
    peer.onConnect([](ScriptedPeer&, const Bytes&) {});
    char text[kLinkTextSize] = {};
    EXPECT_EQ(LinkOpen(text), -1);
    EXPECT_STREQ(text, "KORAVEN not responding");
    EXPECT_EQ(link().socket, kInvalidLinkSocket);
    EXPECT_EQ(peer.datagramsOfType(LINK_CONNECT_REQUEST).size(), 10u);
}

class LinkInvalidAnswerTest : public LinkFixture, public ::testing::WithParamInterface<Bytes> {};

TEST_P(LinkInvalidAnswerTest, CountsAsNoAnswer) {
    useShortTimeouts();
    const Bytes answer = GetParam();
    peer.onConnect([answer](ScriptedPeer& p, const Bytes&) { p.send(answer); });
    char text[kLinkTextSize] = {};
    EXPECT_EQ(LinkOpen(text), -1);
    EXPECT_STREQ(text, "KORAVEN not responding");
    EXPECT_EQ(link().packetLength, 1024);
}

Bytes acceptWithoutMagic() {
    Bytes answer = ScriptedPeer::controlDatagram(LINK_CONNECT_ACCEPT, 1, 1024);
    answer[14] = 'X';
    return answer;
}

// A short accept would find the request's own magic in the buffer and shrink the packet length
// below a fragment header; it is not an answer.
INSTANTIATE_TEST_SUITE_P(
    Answers, LinkInvalidAnswerTest,
    ::testing::Values(acceptWithoutMagic(), Bytes{LINK_CONNECT_ACCEPT},
                      ScriptedPeer::controlDatagram(LINK_CONNECT_ACCEPT, 1, 15),
                      ScriptedPeer::controlDatagram(0x33, 1, 1024),
                      ScriptedPeer::controlDatagram(LINK_CONNECT_ACCEPT, 1, 1473)));

TEST_F(LinkSetupTest, AnswerFromAStrangerIsIgnored) {
    peer.onConnect([](ScriptedPeer& p, const Bytes& request) {
        p.sendFromStranger(ScriptedPeer::controlDatagram(LINK_CONNECT_REFUSED, 1));
        p.acceptConnect(request.size());
    });
    EXPECT_EQ(KRV_Connect(), 0);
}

TEST_F(LinkSetupTest, SyncAgainMakesTheClientAskOnceMore) {
    std::atomic<int> syncs{0};
    peer.onSync([&syncs](ScriptedPeer& p, const Bytes&) {
        if (syncs++ == 0) {
            p.send(ScriptedPeer::controlDatagram(LINK_SYNC_AGAIN, 0));
        } else {
            p.sendSyncReply();
        }
    });
    ASSERT_EQ(KRV_Connect(), 0);
    EXPECT_EQ(peer.datagramsOfType(LINK_SYNC_REQUEST).size(), 2u);
    EXPECT_EQ(peer.datagramsOfType(LINK_SYNC_CONFIRM).size(), 1u);
}

class LinkIgnoredSyncReplyTest : public LinkFixture, public ::testing::WithParamInterface<Bytes> {};

// The ignored datagram announces sequence 999; the valid reply after it 4000.
TEST_P(LinkIgnoredSyncReplyTest, IsSkippedForTheValidReply) {
    const Bytes ignored = GetParam();
    peer.onSync([ignored](ScriptedPeer& p, const Bytes&) {
        p.send(ignored);
        p.sendSyncReply();
    });
    ASSERT_EQ(KRV_Connect(), 0);
    EXPECT_EQ(link().receiveSequence, 4000);
    EXPECT_EQ(peer.datagramsOfType(LINK_SYNC_REQUEST).size(), 1u);
}

Bytes syncReplyWithoutMagic() {
    Bytes reply = ScriptedPeer::controlDatagram(LINK_SYNC_REPLY, 999);
    reply[8] = 'k';
    return reply;
}

INSTANTIATE_TEST_SUITE_P(Datagrams, LinkIgnoredSyncReplyTest,
                         ::testing::Values(ScriptedPeer::controlDatagram(LINK_SYNC_REPLY, 999, 17),
                                           ScriptedPeer::controlDatagram(LINK_SYNC_REPLY, 999, 15),
                                           syncReplyWithoutMagic(),
                                           ScriptedPeer::controlDatagram(0x42, 999), Bytes{}));

struct JunkCase {
    int junk;          // datagrams before the valid reply to the first sync request
    size_t syncsSent;  // sync requests the connect needs
};

class LinkSyncDatagramLimitTest : public LinkFixture,
                                  public ::testing::WithParamInterface<JunkCase> {};

TEST_P(LinkSyncDatagramLimitTest, ReadsAtMostTwentyDatagramsPerSync) {
    const int junk = GetParam().junk;
    std::atomic<int> syncs{0};
    peer.onSync([junk, &syncs](ScriptedPeer& p, const Bytes&) {
        for (int i = 0; syncs == 0 && i < junk; ++i) {
            p.send(ScriptedPeer::controlDatagram(0x42, 999));
        }
        ++syncs;
        p.sendSyncReply();
    });
    ASSERT_EQ(KRV_Connect(), 0);
    EXPECT_EQ(peer.datagramsOfType(LINK_SYNC_REQUEST).size(), GetParam().syncsSent);
}

INSTANTIATE_TEST_SUITE_P(Junk, LinkSyncDatagramLimitTest,
                         ::testing::Values(JunkCase{19, 1}, JunkCase{20, 2}));

TEST_F(LinkSetupTest, FourFailedSyncsLeaveTheLinkOpen) {
    useShortTimeouts();
    peer.onSync([](ScriptedPeer&, const Bytes&) {});
    EXPECT_EQ(KRV_Connect(), -1);
    EXPECT_EQ(link().connected, 1);
    EXPECT_EQ(peer.datagramsOfType(LINK_SYNC_REQUEST).size(), 4u);
    KRV_Disconnect();
    EXPECT_EQ(peer.datagramsOfType(LINK_DISCONNECT).size(), 5u);
}

TEST_F(LinkSetupTest, SecondConnectOnlySynchronisesAgain) {
    ASSERT_EQ(KRV_Connect(), 0);
    const size_t before = peer.datagrams().size();
    ASSERT_EQ(KRV_Connect(), 0);
    const std::vector<Bytes> all = peer.datagrams();
    const std::vector<Bytes> after(all.begin() + static_cast<long>(before), all.end());
    const std::vector<Bytes> expected = {ScriptedPeer::controlDatagram(LINK_SYNC_REQUEST, 1),
                                         ScriptedPeer::controlDatagram(LINK_SYNC_CONFIRM, 1)};
    EXPECT_EQ(after, expected);
}

TEST_F(LinkSetupTest, DisconnectOnAClosedLinkSendsNothing) {
    KRV_Disconnect();
    EXPECT_TRUE(peer.datagrams().empty());
}

TEST_F(LinkSetupTest, DisconnectSendsTheNoticeFiveTimesAndCloses) {
    ASSERT_EQ(KRV_Connect(), 0);
    const size_t before = peer.datagrams().size();
    KRV_Disconnect();
    const std::vector<Bytes> all = peer.datagrams();
    const std::vector<Bytes> notices(all.begin() + static_cast<long>(before), all.end());
    EXPECT_EQ(notices, std::vector<Bytes>(5, ScriptedPeer::controlDatagram(LINK_DISCONNECT, 0)));
    EXPECT_EQ(link().connected, 0);
    EXPECT_EQ(link().socket, kInvalidLinkSocket);
}

TEST_F(LinkSetupTest, LocalPortInUseFailsTheBind) {
    setItem("HOSTPORT=", std::to_string(peer.port()));
    char text[kLinkTextSize] = {};
    EXPECT_EQ(LinkOpen(text), -1);
    EXPECT_STREQ(text, "cannot bind socket");
    EXPECT_EQ(link().socket, kInvalidLinkSocket);
}

TEST_F(LinkSetupTest, LocalhostIsLookedUp) {
    setItem("NODE=", "localhost");
    char text[kLinkTextSize] = {};
    EXPECT_EQ(LinkResolveNode(text), 0x7F000001);
}

// A layer over the system's sockets that fails one chosen step of the set-up.
enum class Step { None, Startup, Resolve, Open, Bind, LocalPort, ReceiveBuffer, SendBuffer };

struct FakeSockets {
    static inline Step failing = Step::None;
    static inline int error = 0;
    static inline int closes = 0;
    static inline int cleanups = 0;
    static inline int receiveBufferBytes = 0;  // reported before the link sets it; 0: real
    static inline std::string resolved;

    static const LinkSocketOps& system() { return kLinkSystemSocketOps; }
    static int startup() { return failing == Step::Startup ? -1 : system().startup(); }
    static void cleanup() {
        ++cleanups;
        system().cleanup();
    }
    static LinkSocket open() {
        return failing == Step::Open ? kInvalidLinkSocket : system().open();
    }
    static int bind(LinkSocket s, uint16_t port) {
        return failing == Step::Bind ? -1 : system().bind(s, port);
    }
    static int localPort(LinkSocket s, uint16_t* port) {
        return failing == Step::LocalPort ? -1 : system().localPort(s, port);
    }
    static bool failsBuffer(LinkSocketBuffer which) {
        return (failing == Step::ReceiveBuffer && which == LinkSocketBuffer::Receive) ||
               (failing == Step::SendBuffer && which == LinkSocketBuffer::Send);
    }
    static int getBufferSize(LinkSocket s, LinkSocketBuffer which, int* bytes) {
        if (failsBuffer(which)) {
            *bytes = 1000;
            return 0;
        }
        if (which == LinkSocketBuffer::Receive && receiveBufferBytes > 0) {
            *bytes = receiveBufferBytes;
            return 0;
        }
        return system().getBufferSize(s, which, bytes);
    }
    static int setBufferSize(LinkSocket s, LinkSocketBuffer which, int bytes) {
        if (failsBuffer(which)) return -1;
        if (which == LinkSocketBuffer::Receive) receiveBufferBytes = 0;
        return system().setBufferSize(s, which, bytes);
    }
    static void close(LinkSocket s) {
        ++closes;
        system().close(s);
    }
    static int resolve(const char* name, uint32_t* ipv4) {
        resolved = name;
        if (failing == Step::Resolve) return -1;
        *ipv4 = 0x7F000001;
        return 0;
    }
    static int lastError() { return error; }

    static void install(Step step, int errorCode) {
        failing = step;
        error = errorCode;
        closes = cleanups = receiveBufferBytes = 0;
        resolved.clear();
        static const LinkSocketOps ops = {
            startup,
            cleanup,
            open,
            bind,
            localPort,
            getBufferSize,
            setBufferSize,
            kLinkSystemSocketOps.sendTo,
            kLinkSystemSocketOps.waitReadable,
            kLinkSystemSocketOps.receiveFrom,
            close,
            resolve,
            lastError,
            nullptr,
            nullptr,
        };
        LinkSetSocketOpsForTest(&ops);
    }
};

struct SetupFailure {
    Step step;
    int error;
    const char* text;
    int closes;
    int cleanups;
};

class LinkOpenFailureTest : public LinkFixture,
                            public ::testing::WithParamInterface<SetupFailure> {};

TEST_P(LinkOpenFailureTest, ReportsTheStepAndReleasesWhatWasTaken) {
    const SetupFailure& failure = GetParam();
    setItem("NODE=", "no.such.node");
    FakeSockets::install(failure.step, failure.error);
    char text[kLinkTextSize] = "earlier text";
    EXPECT_EQ(LinkOpen(text), -1);
    EXPECT_STREQ(text, failure.text);
    EXPECT_EQ(FakeSockets::closes, failure.closes);
    EXPECT_EQ(FakeSockets::cleanups, failure.cleanups);
    EXPECT_EQ(link().connected, 0);
    EXPECT_EQ(link().socket, kInvalidLinkSocket);
    EXPECT_EQ(KRV_Connect(), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, LinkOpenFailureTest,
    ::testing::Values(SetupFailure{Step::Startup, 0, "TCP/IP not ready, check configuration", 0, 0},
                      SetupFailure{Step::Resolve, kLinkErrorHostNotFound,
                                   "node name (no.such.node) unknown (HOST_NOT_FOUND)", 0, 1},
                      SetupFailure{Step::Open, kLinkErrorTooManySockets,
                                   "cannot create socket (WSAEMFILE)", 0, 1},
                      SetupFailure{Step::Bind, kLinkErrorNoBuffers,
                                   "cannot bind socket (WSAENOBUFS)", 1, 1},
                      SetupFailure{Step::LocalPort, kLinkErrorNetworkDown,
                                   "cannot identify port (NETDOWN)", 1, 1},
                      SetupFailure{Step::ReceiveBuffer, kLinkErrorInterrupted,
                                   "cannot alloc buffer for rcvsocket", 1, 1},
                      SetupFailure{Step::SendBuffer, kLinkErrorInterrupted,
                                   "cannot alloc buffer for sndsocket", 1, 1}));

TEST_F(LinkSetupTest, ZeroAddressIsLookedUpAsAName) {
    FakeSockets::install(Step::None, 0);
    setItem("NODE=", "0.0.0.0");
    char text[kLinkTextSize] = {};
    EXPECT_EQ(LinkResolveNode(text), 0x7F000001);
    EXPECT_EQ(FakeSockets::resolved, "0.0.0.0");
}

struct DottedCase {
    const char* node;
    int64_t address;
};

class LinkDottedNodeTest : public LinkFixture, public ::testing::WithParamInterface<DottedCase> {};

TEST_P(LinkDottedNodeTest, IsTakenWithoutLookup) {
    FakeSockets::install(Step::None, 0);
    setItem("NODE=", GetParam().node);
    char text[kLinkTextSize] = {};
    EXPECT_EQ(LinkResolveNode(text), GetParam().address);
    EXPECT_TRUE(FakeSockets::resolved.empty());
}

INSTANTIATE_TEST_SUITE_P(Nodes, LinkDottedNodeTest,
                         ::testing::Values(DottedCase{"10.1.2.3", 0x0A010203},
                                           DottedCase{"255.255.255.255", 0xFFFFFFFF},
                                           DottedCase{"0.0.0.1", 1},
                                           DottedCase{"1.2.3.256", 0x01020300 | 256}));

TEST_F(LinkSetupTest, SmallSocketBufferBoundsThePacketLength) {
    FakeSockets::install(Step::None, 0);
    FakeSockets::receiveBufferBytes = 600;
    ASSERT_EQ(KRV_Connect(), 0);
    EXPECT_EQ(link().packetLength, 600);
    EXPECT_EQ(peer.datagramsOfType(LINK_CONNECT_REQUEST).at(0).size(), 600u);
}

// Every other wait or receive of the system layer gives way to a passing event: a signal, a wait
// that ends before its time (as a capped platform wait does on very long time-outs) or Windows'
// report of an ICMP port unreachable once connected. None may cost a connect try or a reply. (In
// the handshake with a peer on this machine that report means nothing listens: the open fails.)
enum class Passing { Signal, EarlyEnd, PortUnreachable };

struct PassingSockets {
    static inline Passing kind = Passing::Signal;
    static inline int calls = 0;
    static inline bool faked = false;

    static bool fakesThisCall(Passing on) {
        faked = kind == on && ++calls % 2 == 1;
        return faked;
    }
    static int waitReadable(LinkSocket s, int64_t micros) {
        if (fakesThisCall(Passing::Signal)) return -1;
        if (fakesThisCall(Passing::EarlyEnd)) return 0;
        return kLinkSystemSocketOps.waitReadable(s, micros);
    }
    static int receiveFrom(LinkSocket s, uint8_t* data, int capacity, LinkAddress* from) {
        if (link().connected && fakesThisCall(Passing::PortUnreachable)) return -1;
        return kLinkSystemSocketOps.receiveFrom(s, data, capacity, from);
    }
    static int lastError() {
        if (!faked) return kLinkSystemSocketOps.lastError();
        return kind == Passing::Signal ? kLinkErrorInterrupted : kLinkErrorConnectionReset;
    }
    static void install(Passing passing) {
        kind = passing;
        calls = 0;
        static LinkSocketOps ops = kLinkSystemSocketOps;
        ops.waitReadable = waitReadable;
        ops.receiveFrom = receiveFrom;
        ops.lastError = lastError;
        LinkSetSocketOpsForTest(&ops);
    }
};

class LinkPassingEventTest : public LinkFixture, public ::testing::WithParamInterface<Passing> {};

TEST_P(LinkPassingEventTest, NeitherCostsAConnectTryNorAReply) {
    setItem("TIMEOUT=", "2200000");  // beyond what one platform wait can cover
    PassingSockets::install(GetParam());
    ASSERT_EQ(KRV_Connect(), 0);
    EXPECT_EQ(KRV_Attach(), 0);
    // 8,000 bytes of TDI: the flow-control waits too.
    const std::vector<uint8_t> tdi(8000, 0x5A);
    EXPECT_EQ(KRV_TAPAccessShiftRaw(0, 64000, nullptr, tdi.data(), nullptr), 0);
    EXPECT_EQ(peer.datagramsOfType(LINK_CONNECT_REQUEST).size(), 1u);
    EXPECT_EQ(peer.requests().size(), 2u);
    EXPECT_GT(PassingSockets::calls, 10);  // every wait met one
}

INSTANTIATE_TEST_SUITE_P(Events, LinkPassingEventTest,
                         ::testing::Values(Passing::Signal, Passing::EarlyEnd,
                                           Passing::PortUnreachable));

}  // namespace
