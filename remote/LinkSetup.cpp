// SPDX-License-Identifier: Apache-2.0
// Opening and closing the one link: socket, buffer sizes and the connect handshake.
#include <cstdio>
#include <cstring>

#include "remote/LinkRoutines.h"
#include "remote/RemoteLink.h"
#include "remote/RemoteLinkState.h"

namespace {

constexpr int kSocketBufferBytes = 18000;
constexpr int kConnectAttempts = 10;
constexpr int kSyncAttempts = 4;
constexpr int kDisconnectNotices = 5;

enum class ErrorName { Omitted, Appended };

void setText(char* text, const char* message, ErrorName errorName) noexcept {
    std::snprintf(text, kLinkTextSize, "%s", message);
    if (errorName == ErrorName::Appended) LinkAppendSocketError(text);
}

// A new link starts with nothing to recover from.
void clearRecovery() noexcept {
    gRemoteLink.resyncDue = false;
    gRemoteLink.lost = false;
    gRemoteLink.resendsSent = 0;
    gRemoteLink.repetitionPending = false;
    gRemoteLink.echoWindow = 0;
    gRemoteLink.aheadFragments.clear();
}

void closeLink() noexcept {
    const LinkSocketOps& sockets = LinkSockets();
    if (gRemoteLink.socket != kInvalidLinkSocket) sockets.close(gRemoteLink.socket);
    sockets.cleanup();
    gRemoteLink.socket = kInvalidLinkSocket;
    gRemoteLink.connected = 0;
    clearRecovery();
}

// Why the last connect failed, kept so that the target can name the cause to the user.
LinkOpenFailure gOpenFailure = LinkOpenFailure::kNone;
char gOpenFailureText[kLinkTextSize] = {};

int failOpen(char* text, const char* message, ErrorName errorName,
             LinkOpenFailure kind = LinkOpenFailure::kOther) noexcept {
    setText(text, message, errorName);
    gOpenFailure = kind;
    closeLink();
    return -1;
}

// A small socket buffer also bounds the datagrams the link may use.
bool sizeSocketBuffer(LinkSocketBuffer which) noexcept {
    const LinkSocketOps& sockets = LinkSockets();
    int bytes = 0;
    if (sockets.getBufferSize(gRemoteLink.socket, which, &bytes) != 0) bytes = 0;
    if (bytes > 0 && bytes < gRemoteLink.packetLength) {
        gRemoteLink.packetLength = bytes < kMinPacketLength ? kMinPacketLength : bytes;
    }
    if (bytes >= kSocketBufferBytes) return true;
    if (sockets.setBufferSize(gRemoteLink.socket, which, kSocketBufferBytes) != 0) return false;
    return sockets.getBufferSize(gRemoteLink.socket, which, &bytes) == 0 &&
           bytes >= kSocketBufferBytes;
}

// A front end refuses a connect while the link's holder was heard lately, and our own link closed
// a moment ago may be that holder: its disconnect notices can reach the front end after the new
// connect request on a network that delays datagrams. Such a refusal is tried again, briefly.
constexpr int64_t kOwnHolderMicros = 5000000;
constexpr int64_t kRefusalPauseMicros = 50000;
constexpr int kRefusalRetries = 3;

bool refusedByOurOwnLink(int& retries) noexcept {
    const RemoteLinkState& link = gRemoteLink;
    const int64_t since = LinkDeadlineAfter(0) - link.disconnectedAtMicros;
    if (link.disconnectedAtMicros == 0 || !(link.disconnectedFrom == link.peerAddress) ||
        since > kOwnHolderMicros || retries >= kRefusalRetries) {
        return false;
    }
    ++retries;
    uint8_t datagram[kMaxPacketLength];
    int length = 0;
    LinkAddress from{};
    const LinkDeadline pause = LinkDeadlineAfter(kRefusalPauseMicros);
    while (LinkAwaitDatagramUntil(pause, LinkSource::PeerPortOnAnyAddress, datagram,
                                  kMaxPacketLength, &length, &from) == LinkWait::Received) {
    }
    return true;
}

int askToConnect(char* text) noexcept {
    int refusals = 0;
    for (int attempt = 0; attempt < kConnectAttempts; ++attempt) {
        const int answer = LinkConnectRequest();
        if (answer == 1) {
            gRemoteLink.connected = 1;
            return 1;
        }
        if (answer == 2 && refusedByOurOwnLink(refusals)) continue;
        if (answer == 2) {
            return failOpen(text, "KORAVEN access refused", ErrorName::Omitted,
                            LinkOpenFailure::kRefused);
        }
        if (answer == 3) {
            return failOpen(text, "KORAVEN port unreachable", ErrorName::Omitted,
                            LinkOpenFailure::kNotListening);
        }
    }
    return failOpen(text, "KORAVEN not responding", ErrorName::Omitted, LinkOpenFailure::kNoAnswer);
}

// On this machine a closed port is answered at once (ICMP port unreachable): nothing listens
// there, and waiting out ten connect requests would only delay saying so. Elsewhere such a report
// may come from a front end still starting, so the requests go on as before.
int runHandshake(char* text) noexcept {
    const bool watch = LinkPeerIsLocal() && LinkSockets().open == kLinkSystemSocketOps.open &&
                       LinkWatchRefusals(gRemoteLink.socket, true) == 0;
    const int opened = askToConnect(text);
    if (watch && opened == 1) (void)LinkWatchRefusals(gRemoteLink.socket, false);
    return opened;
}

void sendDisconnectNotices() noexcept {
    uint8_t notice[kLinkControlDatagramSize] = {LINK_DISCONNECT};
    std::memcpy(notice + kLinkMagicOffset, kLinkMagic, kLinkMagicSize);
    for (int copy = 0; copy < kDisconnectNotices; ++copy) {
        (void)LinkSendDatagram(notice, kLinkControlDatagramSize);
    }
}

}  // namespace

bool LinkPeerIsLocal() noexcept {
    return (gRemoteLink.peerAddress.ipv4 >> 24) == 127;
}

int64_t LinkResolveNode(char* text) noexcept {
    const char* node = gRemoteLink.nodeName;
    int part[4] = {};
    if (std::sscanf(node, "%d.%d.%d.%d", &part[0], &part[1], &part[2], &part[3]) == 4 &&
        (part[0] | part[1] | part[2] | part[3]) != 0) {
        // Out-of-range parts are not refused; they spill into their neighbours.
        return static_cast<int64_t>(
            (static_cast<uint32_t>(part[0]) << 24) | (static_cast<uint32_t>(part[1]) << 16) |
            (static_cast<uint32_t>(part[2]) << 8) | static_cast<uint32_t>(part[3]));
    }
    uint32_t ipv4 = 0;
    if (LinkSockets().resolve(node, &ipv4) == 0) return ipv4;
    std::snprintf(text, kLinkTextSize, "node name (%s) unknown", node);
    LinkAppendSocketError(text);
    return -1;
}

int LinkOpen(char* text) noexcept {
    if (gRemoteLink.connected) return 0;
    const LinkSocketOps& sockets = LinkSockets();
    if (sockets.startup() != 0) {
        setText(text, "TCP/IP not ready, check configuration", ErrorName::Omitted);
        return -1;
    }
    const int64_t peerIpv4 = LinkResolveNode(text);
    if (peerIpv4 < 0) {
        sockets.cleanup();
        return -1;
    }
    gRemoteLink.socket = sockets.open();
    if (gRemoteLink.socket == kInvalidLinkSocket) {
        return failOpen(text, "cannot create socket", ErrorName::Appended);
    }
    if (sockets.bind(gRemoteLink.socket, gRemoteLink.localPort) != 0) {
        return failOpen(text, "cannot bind socket", ErrorName::Appended,
                        LinkOpenFailure::kLocalPort);
    }
    if (sockets.localPort(gRemoteLink.socket, &gRemoteLink.ownPort) != 0) {
        return failOpen(text, "cannot identify port", ErrorName::Appended);
    }
    gRemoteLink.peerAddress = LinkAddress{static_cast<uint32_t>(peerIpv4), gRemoteLink.peerPort};
    gRemoteLink.answerAddress = gRemoteLink.peerAddress;
    if (!sizeSocketBuffer(LinkSocketBuffer::Receive)) {
        return failOpen(text, "cannot alloc buffer for rcvsocket", ErrorName::Omitted);
    }
    if (!sizeSocketBuffer(LinkSocketBuffer::Send)) {
        return failOpen(text, "cannot alloc buffer for sndsocket", ErrorName::Omitted);
    }
    return runHandshake(text);
}

int KRV_Connect() {
    char text[kLinkTextSize] = {};
    gOpenFailure = LinkOpenFailure::kNone;
    gOpenFailureText[0] = '\0';
    if (LinkOpen(text) < 0) {
        if (gOpenFailure == LinkOpenFailure::kNone) gOpenFailure = LinkOpenFailure::kOther;
        std::snprintf(gOpenFailureText, kLinkTextSize, "%s", text);
        return -1;
    }
    gRemoteLink.replyToggle = -1;
    clearRecovery();
    for (int attempt = 0; attempt < kSyncAttempts; ++attempt) {
        if (LinkSync() == 1) return 0;
    }
    gOpenFailure = LinkOpenFailure::kNoSync;
    return -1;  // still open: KRV_Disconnect closes it
}

LinkOpenFailure KRV_ConnectFailure(const char** text) {
    if (text != nullptr) *text = gOpenFailureText;
    return gOpenFailure;
}

void KRV_Disconnect() {
    LinkReleaseNotifications();
    if (!gRemoteLink.connected) return;
    if (gRemoteLink.socket != kInvalidLinkSocket) sendDisconnectNotices();
    gRemoteLink.disconnectedAtMicros = LinkDeadlineAfter(0);
    gRemoteLink.disconnectedFrom = gRemoteLink.peerAddress;
    closeLink();
}
