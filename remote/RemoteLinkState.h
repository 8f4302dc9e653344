// SPDX-License-Identifier: Apache-2.0
// The one process-wide record of the remote link: configuration, socket, sequence state, the
// static request and reply buffers and the kept notifications.
#pragma once

#include <cstddef>
#include <cstdint>

#include "remote/AheadFragments.h"
#include "remote/LinkWire.h"
#include "remote/RemoteLink.h"
#include "remote/RetransmitTimer.h"
#include "remote/SocketLayer.h"

constexpr size_t kNodeNameSize = 80;  // 79 characters and the NUL
constexpr int kMinPacketLength = kLinkMinPacketLength;
constexpr int kMaxPacketLength = 1472;
constexpr int kDefaultPacketLength = 1024;
constexpr uint16_t kDefaultPeerPort = 20000;
constexpr int32_t kDefaultReplyTimeoutSeconds = 5;
constexpr int64_t kHandshakeTimeoutMicros = 500000;

// Requests are built after 4 bytes of room for the first fragment header.
constexpr size_t kRequestBufferSize = 16896;
constexpr size_t kMaxRequestLength = kRequestBufferSize - kFragmentHeaderSize;
// The most a reply may carry; one whole datagram of room lies beyond it so that the datagram
// that overruns it still lands inside the buffer.
constexpr int kMaxReplyLength = kLinkMaxReplyLength;
constexpr size_t kReplyBufferSize = kFragmentHeaderSize + kMaxReplyLength + kMaxPacketLength;

// Only the newest notifications are kept; nothing in the library reads them yet.
constexpr int kMaxKeptNotifications = 64;

struct NotificationRecord {
    uint8_t data[kMaxPacketLength] = {};
    int length = 0;
    NotificationRecord* older = nullptr;
    NotificationRecord* newer = nullptr;
};

struct RemoteLinkState {
    // Configuration.
    char nodeName[kNodeNameSize] = "localhost";
    uint16_t peerPort = kDefaultPeerPort;
    uint16_t localPort = 0;  // 0: the system chooses
    int32_t packetLength = kDefaultPacketLength;
    int32_t replyTimeoutSeconds = kDefaultReplyTimeoutSeconds;

    // Link.
    LinkSocket socket = kInvalidLinkSocket;
    int connected = 0;
    uint16_t ownPort = 0;
    LinkAddress peerAddress{};    // where datagrams go: the configured node and port
    LinkAddress answerAddress{};  // where the accept came from; the only source taken after it

    // Sequence and reply state.
    uint16_t transmitSequence = 0;
    uint16_t receiveSequence = 0;
    uint16_t previousReplySequence = 0;
    uint16_t savedTransmitSequence = 0;
    uint8_t* lastMessage = nullptr;
    int32_t lastMessageLength = 0;
    int replyToggle = -1;  // -1 not yet known, else 0 or 1
    uint8_t messageId = 0;
    int lastResult = 0;

    // Recovery. A failed reception or transmission leaves the sequence numbers unknown: the next
    // request is preceded by a sync. A sync that fails means the front end forgot the link.
    bool resyncDue = false;
    bool lost = false;
    int resendsSent = 0;            // resends of the current request so far
    int64_t resendWaitsMicros = 0;  // resends' pauses and waits for tokens that did not come
    // A repetition of the previous reply came while the request's last flow token was awaited.
    bool repetitionPending = false;
    int64_t longestTokenWaitMicros = 0;  // of the current request's flow tokens so far
    // 2 after a resend, 1 once the reply to it came: the next repetition is the resend's echo.
    int echoWindow = 0;
    // Fragments of the reply awaited that came ahead of their turn, or while a long request still
    // waited for a flow token; they lie in the reply buffer already.
    AheadFragments aheadFragments;
    // Fragments and bytes of the reply in progress taken in order, while a resend waits.
    int replyTaken = 0;
    int replyTotal = 0;
    uint64_t resentFragments = 0;  // request fragments sent again, for the soak's figures

    // Retransmission on a time-out.
    LinkRetransmit retransmit = LinkRetransmit::Off;
    bool requestRepeatable = false;       // the request in progress may go out again on a time-out
    RoundTripEstimate roundTrip;          // from the request's last fragment to its whole reply
    RoundTripEstimate tokenTrip;          // from a fragment to its flow token
    int64_t requestSentAtMicros = 0;      // steady clock, when the request's last fragment went
    int timeoutResends = 0;               // of the request in progress
    int64_t nextResendAtMicros = 0;       // steady clock
    bool roundTripSampled = false;        // of the request in progress
    uint64_t timeoutRetransmissions = 0;  // requests sent again on a time-out, for the figures

    // When this process last closed a connected link (steady clock), 0 never.
    int64_t disconnectedAtMicros = 0;
    LinkAddress disconnectedFrom{};

    // Notifications, newest first.
    NotificationRecord* newestNotification = nullptr;
    NotificationRecord* oldestNotification = nullptr;
    int notificationCount = 0;

    // Test settings; 0 keeps the normal time-outs.
    int64_t handshakeTimeoutMicrosForTest = 0;
    int64_t replyTimeoutMicrosForTest = 0;
};

extern RemoteLinkState gRemoteLink;
extern uint8_t gRequestBuffer[kRequestBufferSize];
extern uint8_t gReplyBuffer[kReplyBufferSize];

// Where a request starts: after the room for the first fragment header.
inline uint8_t* LinkRequestMessage() noexcept {
    return gRequestBuffer + kFragmentHeaderSize;
}
inline uint8_t* LinkReplyMessage() noexcept {
    return gReplyBuffer + kFragmentHeaderSize;
}

int64_t LinkHandshakeTimeoutMicros() noexcept;
int64_t LinkReplyTimeoutMicros() noexcept;
