// SPDX-License-Identifier: Apache-2.0
// The connect handshake and the synchronisation of sequence numbers with the peer.
#include <cstring>

#include "remote/LinkRoutines.h"
#include "remote/RemoteLink.h"
#include "remote/RemoteLinkState.h"
#include "remote/RetransmitTimer.h"

namespace {

constexpr uint16_t kConnectSequence = 1;
constexpr int kMaxSyncDatagrams = 20;
// No repeated reply can be taken for the last one before the first reply has come.
constexpr uint16_t kPreviousReplyDistance = 100;
constexpr int kSyncAttempts = 4;

bool hasMagic(const uint8_t* datagram) noexcept {
    return std::memcmp(datagram + kLinkMagicOffset, kLinkMagic, kLinkMagicSize) == 0;
}

bool sendSyncDatagram(uint8_t type) noexcept {
    uint8_t datagram[kLinkControlDatagramSize] = {type};
    storeLE16(datagram + 2, gRemoteLink.transmitSequence);
    std::memcpy(datagram + kLinkMagicOffset, kLinkMagic, kLinkMagicSize);
    return LinkSendDatagram(datagram, kLinkControlDatagramSize) == kLinkControlDatagramSize;
}

}  // namespace

int LinkConnectRequest() noexcept {
    gRemoteLink.transmitSequence = kConnectSequence;
    const int length = gRemoteLink.packetLength;
    uint8_t datagram[kMaxPacketLength] = {LINK_CONNECT_REQUEST};
    storeLE16(datagram + 2, kConnectSequence);
    storeLE16(datagram + 4, gRemoteLink.peerPort);
    storeLE16(datagram + 6, gRemoteLink.ownPort);
    std::memcpy(datagram + kLinkMagicOffset, kLinkMagic, kLinkMagicSize);
    if (LinkSendDatagram(datagram, length) != length) return 0;

    // Read into room for the longest accept: its length is the packet length the peer wants.
    int received = 0;
    LinkAddress from{};
    const LinkWait wait = LinkAwaitDatagramUntil(
        LinkDeadlineAfter(LinkHandshakeTimeoutMicros()),
        LinkPeerIsLocal() ? LinkSource::PeerPortUntilRefused : LinkSource::PeerPortOnAnyAddress,
        datagram, kMaxPacketLength, &received, &from);
    if (wait == LinkWait::Refused) return 3;
    if (wait != LinkWait::Received) return 0;
    // A shorter answer has no magic of its own and would shrink the packet length to nothing.
    if (received < kLinkControlDatagramSize || !hasMagic(datagram)) return 0;
    gRemoteLink.receiveSequence = loadLE16(datagram + 2);
    switch (datagram[0]) {
        case LINK_CONNECT_ACCEPT:
            gRemoteLink.packetLength = received;
            gRemoteLink.answerAddress = from;
            return 1;
        case LINK_CONNECT_REFUSED:
        case LINK_CONNECT_DENIED:
            return 2;
        default:
            return 0;
    }
}

namespace {

// A sync in the middle of a session passes over sync replies behind the sequence number expected:
// copies of an earlier sync's reply. 1 synchronised, -1 no answer, kLinkLostResult when the front
// end answered this sync that it holds no link with us.
int syncOnce(bool midSession, int64_t waitMicros) noexcept {
    if (!sendSyncDatagram(LINK_SYNC_REQUEST)) return -1;
    uint8_t datagram[kMaxPacketLength] = {};
    const LinkDeadline deadline = LinkDeadlineAfter(waitMicros);
    for (int count = 1; count <= kMaxSyncDatagrams; ++count) {
        int received = 0;
        LinkAddress from{};
        if (LinkAwaitDatagramUntil(deadline, LinkSource::Answerer, datagram, kMaxPacketLength,
                                   &received, &from) != LinkWait::Received) {
            return -1;
        }
        if (received != kLinkControlDatagramSize) continue;
        if (midSession && LinkIsForgetting(datagram, received) &&
            loadLE16(datagram + kLinkEchoOffset) == gRemoteLink.transmitSequence) {
            return kLinkLostResult;
        }
        if (datagram[0] == LINK_SYNC_REPLY && hasMagic(datagram)) {
            const uint16_t announced = loadLE16(datagram + 2);
            if (midSession && static_cast<int16_t>(static_cast<uint16_t>(
                                  announced - gRemoteLink.receiveSequence)) < 0)
                continue;
            gRemoteLink.receiveSequence = announced;
            gRemoteLink.previousReplySequence =
                static_cast<uint16_t>(gRemoteLink.receiveSequence - kPreviousReplyDistance);
            return sendSyncDatagram(LINK_SYNC_CONFIRM) ? 1 : -1;
        }
        if (datagram[0] == LINK_SYNC_AGAIN && !sendSyncDatagram(LINK_SYNC_REQUEST)) return -1;
    }
    return -1;
}

}  // namespace

int LinkSync() noexcept {
    return syncOnce(false, LinkHandshakeTimeoutMicros());
}

int LinkResync() noexcept {
    const RemoteLinkState& link = gRemoteLink;
    const int64_t handshake = LinkHandshakeTimeoutMicros();
    if (link.retransmit == LinkRetransmit::Off) {
        for (int attempt = 0; attempt < kSyncAttempts; ++attempt) {
            const int synced = syncOnce(true, handshake);
            if (synced == 1) return 0;
            if (synced == kLinkLostResult) return synced;
        }
        return -1;
    }
    // With retransmission the sync requests are paced as a request's resends, within the time
    // four plain tries take: a front end back from an outage is heard within one interval.
    const LinkDeadline giveUp = LinkDeadlineAfter(kSyncAttempts * handshake);
    for (int resends = 0;; ++resends) {
        const int64_t remaining = giveUp - LinkDeadlineAfter(0);
        if (remaining <= 0) return -1;
        const int64_t interval =
            retransmitIntervalMicros(link.roundTrip.timeoutMicros(handshake), resends, handshake);
        const int synced = syncOnce(true, interval < remaining ? interval : remaining);
        if (synced == 1) return 0;
        if (synced == kLinkLostResult) return synced;
    }
}

bool LinkIsForgetting(const uint8_t* datagram, int length) noexcept {
    return length == kLinkControlDatagramSize && hasMagic(datagram) &&
           (datagram[0] == LINK_CONNECT_DENIED || datagram[0] == LINK_CONNECT_REFUSED);
}
