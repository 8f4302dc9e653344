// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>
#include <netdb.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "remote/LinkRoutines.h"
#include "remote/RemoteLinkTesting.h"
#include "remote/SocketLayer.h"

namespace {

int gError = 0;
int reportError() {
    return gError;
}

// The system layer with only the error report replaced.
class SocketErrorNameTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ops_ = kLinkSystemSocketOps;
        ops_.lastError = reportError;
        LinkSetSocketOpsForTest(&ops_);
    }
    void TearDown() override { LinkSetSocketOpsForTest(nullptr); }

    static std::string appended(int error) {
        gError = error;
        char text[kLinkTextSize] = "cannot create socket";
        LinkAppendSocketError(text);
        return std::string(text).substr(std::strlen("cannot create socket"));
    }

    LinkSocketOps ops_{};
};

struct ErrnoCase {
    int errnoValue;
    const char* name;
};

class ErrnoNameTest : public SocketErrorNameTest,
                      public ::testing::WithParamInterface<ErrnoCase> {};

TEST_P(ErrnoNameTest, IsNamedAsTheTableSays) {
    EXPECT_EQ(appended(LinkErrorFromErrno(GetParam().errnoValue)), GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Errnos, ErrnoNameTest,
                         ::testing::Values(ErrnoCase{EINTR, " (INTR)"},
                                           ErrnoCase{EMFILE, " (WSAEMFILE)"},
                                           ErrnoCase{EINPROGRESS, " (INPROGRESS)"},
                                           ErrnoCase{EPROTOTYPE, " (WSAEPROTOTYPE)"},
                                           ErrnoCase{EPROTONOSUPPORT, " (WSAEPROTONOSUPPORT)"},
                                           ErrnoCase{ESOCKTNOSUPPORT, " (WSAESOCKTNOSUPPORT)"},
                                           ErrnoCase{EAFNOSUPPORT, " (WSAEAFNOSUPPORT)"},
                                           ErrnoCase{ENETDOWN, " (NETDOWN)"},
                                           ErrnoCase{ENOBUFS, " (WSAENOBUFS)"},
                                           ErrnoCase{EADDRINUSE, ""}, ErrnoCase{0, ""}));

class ResolverNameTest : public SocketErrorNameTest,
                         public ::testing::WithParamInterface<ErrnoCase> {};

TEST_P(ResolverNameTest, IsNamedAsTheTableSays) {
    EXPECT_EQ(appended(LinkErrorFromResolver(GetParam().errnoValue, EMFILE)), GetParam().name);
}

// Anything else from the resolver is told by errno.
INSTANTIATE_TEST_SUITE_P(HostErrnos, ResolverNameTest,
                         ::testing::Values(ErrnoCase{HOST_NOT_FOUND, " (HOST_NOT_FOUND)"},
                                           ErrnoCase{TRY_AGAIN, " (TRY_AGAIN)"},
                                           ErrnoCase{NO_RECOVERY, " (NO_RECOVERY)"},
                                           ErrnoCase{NO_DATA, " (NO_DATA)"},
                                           ErrnoCase{NETDB_INTERNAL, " (WSAEMFILE)"}));

TEST_F(SocketErrorNameTest, WindowsOnlyNameIsInTheTable) {
    EXPECT_EQ(appended(kLinkErrorNotInitialised), " (NOTINITIALISED)");
}

TEST_F(SocketErrorNameTest, FullTextIsNeverOverrun) {
    gError = kLinkErrorProtocolNotSupported;
    char text[kLinkTextSize + 8];
    std::memset(text, 'x', kLinkTextSize - 10);
    text[kLinkTextSize - 10] = '\0';
    std::memset(text + kLinkTextSize, 0x5A, 8);
    LinkAppendSocketError(text);
    EXPECT_EQ(std::strlen(text), kLinkTextSize - 10);
    EXPECT_EQ(text[kLinkTextSize], 0x5A);
}

TEST(SocketLayerPosixTest, DatagramThatDoesNotFitIsReportedLonger) {
    const LinkSocketOps& sockets = kLinkSystemSocketOps;
    const LinkSocket receiver = sockets.open();
    const LinkSocket sender = sockets.open();
    ASSERT_NE(receiver, kInvalidLinkSocket);
    ASSERT_EQ(sockets.bind(receiver, 0), 0);
    ASSERT_EQ(sockets.bind(sender, 0), 0);
    uint16_t receiverPort = 0;
    uint16_t senderPort = 0;
    ASSERT_EQ(sockets.localPort(receiver, &receiverPort), 0);
    ASSERT_EQ(sockets.localPort(sender, &senderPort), 0);
    const uint8_t data[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    ASSERT_EQ(sockets.sendTo(sender, data, 12, LinkAddress{0x7F000001, receiverPort}), 12);
    ASSERT_EQ(sockets.sendTo(sender, data, 4, LinkAddress{0x7F000001, receiverPort}), 4);

    uint8_t space[8] = {};
    LinkAddress from{};
    EXPECT_EQ(sockets.waitReadable(receiver, 1000000), 1);
    EXPECT_GT(sockets.receiveFrom(receiver, space, sizeof space, &from), 8);
    EXPECT_EQ(from, (LinkAddress{0x7F000001, senderPort}));
    EXPECT_EQ(sockets.receiveFrom(receiver, space, sizeof space, &from), 4);
    EXPECT_EQ(sockets.waitReadable(receiver, 0), 0);
    sockets.close(receiver);
    sockets.close(sender);
}

TEST(SocketLayerPosixTest, WaitOnNoSocketFailsAtOnce) {
    EXPECT_EQ(kLinkSystemSocketOps.waitReadable(kInvalidLinkSocket, 5000000), -1);
}

}  // namespace
