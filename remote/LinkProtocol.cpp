// SPDX-License-Identifier: Apache-2.0
// Messages over the open link: fragments written in place, flow control, acknowledgements,
// reassembly in place and the matching of replies to the current request.
#include <cstring>

#include "remote/LinkRoutines.h"
#include "remote/RemoteLink.h"
#include "remote/RemoteLinkState.h"

namespace {

// Past this many bytes of one message the peer hands out a token per fragment.
constexpr int kFlowControlBytes = 6000;
constexpr int kMaxExaminedReplies = 5;
constexpr int kReplyHeadSize = static_cast<int>(kReplyDataOffset);
// Our resend's echo comes with the reply it answers or with the next one.
constexpr int kEchoReplies = 2;
constexpr int kMaxDiscarded = 256;
// LinkReceiveMessage's results when a resend did not go whole, and when the front end answered
// that it holds no link with us.
constexpr int kResendNotSent = -2;
constexpr int kFrontEndForgot = -3;
// The 4 bytes a fragment header is written over, put back once the datagram is gone.
class HeaderRoom {
  public:
    explicit HeaderRoom(uint8_t* at) noexcept : at_(at) { std::memcpy(saved_, at_, sizeof saved_); }
    void restore() const noexcept { std::memcpy(at_, saved_, sizeof saved_); }

  private:
    uint8_t* at_ = nullptr;
    uint8_t saved_[kFragmentHeaderSize] = {};
};

// The front end's answer to a datagram of a link it does not hold (restarted, or another client's):
// a denial (no link with us) or a refusal (busy with another client) that names the sequence
// number of the datagram it answers.
bool answersCurrentRequest(const uint8_t* datagram, int length) noexcept {
    const RemoteLinkState& link = gRemoteLink;
    if (!LinkIsForgetting(datagram, length)) return false;
    const uint16_t echoed = loadLE16(datagram + kLinkEchoOffset);
    // Within the fragments of the request in progress: a late answer to an older one says nothing.
    return static_cast<uint16_t>(echoed - link.savedTransmitSequence) <=
           static_cast<uint16_t>(link.transmitSequence - link.savedTransmitSequence);
}

bool isStrayHandshake(const uint8_t* datagram, int length) noexcept {
    if (length < kLinkControlDatagramSize ||
        std::memcmp(datagram + kLinkMagicOffset, kLinkMagic, kLinkMagicSize) != 0) {
        return false;
    }
    switch (datagram[0]) {
        case LINK_SYNC_REPLY:
        case LINK_SYNC_AGAIN:
        case LINK_CONNECT_ACCEPT:
        case LINK_CONNECT_REFUSED:
        case LINK_CONNECT_DENIED:
            return true;
        default:
            return false;
    }
}

bool sendAcknowledgement() noexcept;

// A fragment of the reply awaited, taken into its place in the reply buffer if it belongs there
// now (`taken` fragments of it, `total` bytes, are in place). An acknowledgement goes out for a
// fragment kept that asks for one. False when that send failed.
bool keepAhead(const uint8_t* datagram, int length, int taken, int total, bool& kept) noexcept {
    RemoteLinkState& link = gRemoteLink;
    const int pieceBytes = link.packetLength - static_cast<int>(kFragmentHeaderSize);
    const uint16_t firstSequence = static_cast<uint16_t>(link.receiveSequence - taken);
    const int index = static_cast<int16_t>(static_cast<uint16_t>(loadLE16(datagram + 2) - firstSequence));
    // Only where every fragment before it in place was whole does its place follow from its number.
    kept = index >= taken && total == taken * pieceBytes &&
           link.aheadFragments.keep(LinkReplyMessage(), index, pieceBytes, datagram, length);
    return !kept || datagram[1] != kLinkMoreFragmentsAckWanted || sendAcknowledgement();
}

// Only a flow token ends the wait. A notification is kept; fragments of the reply (the peer
// answering as the last fragments go out, or while we resend) are kept for the reception; the
// front end's word that it holds no link with us ends the wait and the link; anything else is
// stale.
bool awaitFlowToken() noexcept {
    RemoteLinkState& link = gRemoteLink;
    const LinkDeadline deadline = LinkDeadlineAfter(LinkReplyTimeoutMicros());
    uint8_t datagram[kMaxPacketLength];
    for (;;) {
        int length = 0;
        LinkAddress from{};
        if (LinkAwaitDatagramUntil(deadline, LinkSource::Answerer, datagram, link.packetLength,
                                   &length, &from) != LinkWait::Received) {
            return false;
        }
        if (length == 1 && datagram[0] == LINK_FLOW_TOKEN) return true;
        if (length <= static_cast<int>(kFragmentHeaderSize)) continue;
        if (answersCurrentRequest(datagram, length)) {
            link.lost = true;
            return false;
        }
        if (datagram[0] == LINK_NOTIFY) {
            if (LinkKeepNotification(datagram, length) != 0) return false;
        } else if (datagram[0] == LINK_DATA_IN) {
            bool kept = false;
            if (!keepAhead(datagram, length, 0, 0, kept)) return false;
        }
    }
}

bool sendAcknowledgement() noexcept {
    uint8_t ack[kLinkControlDatagramSize] = {LINK_ACK};
    std::memcpy(ack + kLinkMagicOffset, kLinkMagic, kLinkMagicSize);
    return LinkSendDatagram(ack, kLinkControlDatagramSize) == kLinkControlDatagramSize;
}

enum class Arrival { Fragment, Skipped, Failed, Forgotten };

// Reads the next datagram at `at`; flow tokens, notifications and stray handshake answers are
// dealt with here.
Arrival nextDatagram(LinkDeadline deadline, uint8_t* at, int* length) noexcept {
    RemoteLinkState& link = gRemoteLink;
    LinkAddress from{};
    if (LinkAwaitDatagramUntil(deadline, LinkSource::Answerer, at, link.packetLength, length,
                               &from) != LinkWait::Received ||
        *length == 0) {
        return Arrival::Failed;
    }
    if (*length == 1) return at[0] == LINK_FLOW_TOKEN ? Arrival::Skipped : Arrival::Failed;
    if (*length <= static_cast<int>(kFragmentHeaderSize)) return Arrival::Failed;
    if (at[0] == LINK_NOTIFY) {
        return LinkKeepNotification(at, *length) == 0 ? Arrival::Skipped : Arrival::Failed;
    }
    if (answersCurrentRequest(at, *length)) return Arrival::Forgotten;
    // A repeated or late answer to a sync or a connect says nothing about the reply.
    if (isStrayHandshake(at, *length)) return Arrival::Skipped;
    return at[0] == LINK_DATA_IN ? Arrival::Fragment : Arrival::Failed;
}

// The peer repeats its previous reply when our last request never reached it: one resend per
// request. Its own answer to the resend is a repetition of the reply that follows, let pass once
// in the call after that reply.
enum class Repetition { Ignored, Resent, NotSent };

Repetition answerRepetition() noexcept {
    RemoteLinkState& link = gRemoteLink;
    if (link.echoWindow == 1) {
        link.echoWindow = 0;
        return Repetition::Ignored;
    }
    if (link.resendsLeft <= 0) return Repetition::Ignored;
    --link.resendsLeft;
    link.echoWindow = kEchoReplies;
    link.transmitSequence = link.savedTransmitSequence;
    const int length = link.lastMessageLength;
    const int pieceCapacity = link.packetLength - static_cast<int>(kFragmentHeaderSize);
    link.resentFragments +=
        static_cast<uint64_t>(length == 0 ? 1 : (length + pieceCapacity - 1) / pieceCapacity);
    return LinkTransmit(link.lastMessage, length) == length ? Repetition::Resent
                                                            : Repetition::NotSent;
}

// What is already waiting before a request is sent belongs to earlier ones (late fragments of a
// failed reply, copies the network made); notifications are kept.
void discardWaiting() noexcept {
    RemoteLinkState& link = gRemoteLink;
    link.aheadFragments.clear();
    uint8_t datagram[kMaxPacketLength];
    for (int count = 0; count < kMaxDiscarded; ++count) {
        int length = 0;
        LinkAddress from{};
        if (LinkAwaitDatagramUntil(LinkDeadlineAfter(0), LinkSource::Answerer, datagram,
                                   kMaxPacketLength, &length, &from) != LinkWait::Received) {
            return;
        }
        if (length > static_cast<int>(kFragmentHeaderSize) && datagram[0] == LINK_NOTIFY)
            (void)LinkKeepNotification(datagram, length);
    }
}

// Before a new request: a sync when the last one failed. 0 when ready; otherwise the call's result:
// -1 when the front end did not answer the sync (the next request tries again: an outage ends no
// session), kLinkLostResult when it answered that it holds no link with us.
int readyForRequest() noexcept {
    RemoteLinkState& link = gRemoteLink;
    if (link.lost) return kLinkLostResult;
    discardWaiting();
    if (link.resyncDue) {
        const int synced = LinkResync();
        if (synced == kLinkLostResult) link.lost = true;
        if (synced != 0) return synced;
        link.resyncDue = false;
        link.replyToggle = -1;
        link.echoWindow = 0;
    }
    link.resendsLeft = 1;
    return 0;
}

// Each header written over the 4 bytes in front of its piece and put back after the send.
int transmitInPlace(uint8_t* message, int length) noexcept {
    RemoteLinkState& link = gRemoteLink;
    const int pieceCapacity = link.packetLength - static_cast<int>(kFragmentHeaderSize);
    int sentBytes = 0;
    int offset = 0;
    do {
        const int remaining = length - offset;
        const int piece = remaining < pieceCapacity ? remaining : pieceCapacity;
        uint8_t* header = message + offset - kFragmentHeaderSize;
        const HeaderRoom room(header);
        header[0] = LINK_DATA_OUT;
        header[1] = remaining > piece ? kLinkMoreFragments : kLinkLastFragment;
        storeLE16(header + 2, link.transmitSequence);
        const int datagramLength = piece + static_cast<int>(kFragmentHeaderSize);
        if (LinkSendDatagram(header, datagramLength) != datagramLength) {
            room.restore();
            return -1;
        }
        sentBytes += datagramLength;
        // Bounded by the reply time-out so that a silent peer cannot hold the caller for ever.
        if (sentBytes + link.packetLength > kFlowControlBytes && !awaitFlowToken()) {
            room.restore();
            return -1;
        }
        room.restore();
        ++link.transmitSequence;
        offset += piece;
    } while (offset < length);
    return length;
}

// The platform's own batches, while the send in use is the platform's too.
bool canSendInBatches(const LinkSocketOps& sockets) noexcept {
    return sockets.sendBatch != nullptr && sockets.sendTo == kLinkSystemSocketOps.sendTo;
}

// Sends the queued datagrams; how many went whole. A batch of one (every fragment after a flow
// token) goes as a plain datagram with its header in place: a batch of one costs more.
int sendQueued(uint8_t* message, const LinkBatchDatagram* batch, int queued) noexcept {
    if (queued > 1) {
        return LinkSockets().sendBatch(gRemoteLink.socket, batch, queued, gRemoteLink.peerAddress);
    }
    // The piece lies in the caller's message, which has room for a header in front of it.
    uint8_t* header = message + (batch[0].piece - message) - kFragmentHeaderSize;
    const HeaderRoom room(header);
    std::memcpy(header, batch[0].header, kFragmentHeaderSize);
    const int datagramLength = batch[0].pieceLength + static_cast<int>(kFragmentHeaderSize);
    const bool whole = LinkSendDatagram(header, datagramLength) == datagramLength;
    room.restore();
    return whole ? 1 : 0;
}

// The same datagrams, but all those up to the next flow-control point (or the end) in one system
// call; their headers are kept beside the pieces instead of over the message.
int transmitInBatches(uint8_t* message, int length) noexcept {
    RemoteLinkState& link = gRemoteLink;
    const int pieceCapacity = link.packetLength - static_cast<int>(kFragmentHeaderSize);
    LinkBatchDatagram batch[kLinkMaxBatch];
    int queued = 0;
    int sentBytes = 0;
    int offset = 0;
    do {
        const int remaining = length - offset;
        const int piece = remaining < pieceCapacity ? remaining : pieceCapacity;
        LinkBatchDatagram& datagram = batch[queued++];
        datagram.header[0] = LINK_DATA_OUT;
        datagram.header[1] = remaining > piece ? kLinkMoreFragments : kLinkLastFragment;
        storeLE16(datagram.header + 2, static_cast<uint16_t>(link.transmitSequence + queued - 1));
        datagram.piece = message + offset;
        datagram.pieceLength = piece;
        offset += piece;
        sentBytes += piece + static_cast<int>(kFragmentHeaderSize);
        const bool tokenDue = sentBytes + link.packetLength > kFlowControlBytes;
        if (!tokenDue && offset < length && queued < kLinkMaxBatch) continue;
        const int sent = sendQueued(message, batch, queued);
        // As in place: the sequence moves past every fragment that went, but not past the one
        // whose flow token never came.
        if (sent != queued) {
            if (sent > 0)
                link.transmitSequence = static_cast<uint16_t>(link.transmitSequence + sent);
            return -1;
        }
        link.transmitSequence = static_cast<uint16_t>(link.transmitSequence + queued - 1);
        if (tokenDue && !awaitFlowToken()) return -1;
        ++link.transmitSequence;
        queued = 0;
    } while (offset < length);
    return length;
}

}  // namespace

int LinkTransmit(uint8_t* message, int length) noexcept {
    RemoteLinkState& link = gRemoteLink;
    link.lastMessage = message;
    link.lastMessageLength = length;
    link.savedTransmitSequence = link.transmitSequence;
    // A message of one datagram gains nothing from a batch.
    const bool severalDatagrams =
        length > link.packetLength - static_cast<int>(kFragmentHeaderSize);
    return severalDatagrams && canSendInBatches(LinkSockets()) ? transmitInBatches(message, length)
                                                               : transmitInPlace(message, length);
}

int LinkReceiveMessage(uint8_t* buffer) noexcept {
    RemoteLinkState& link = gRemoteLink;
    AheadFragments& ahead = link.aheadFragments;
    const int pieceBytes = link.packetLength - static_cast<int>(kFragmentHeaderSize);
    const uint16_t firstSequence = link.receiveSequence;
    int total = 0;  // data bytes of the fragments taken in order
    int taken = 0;  // fragments taken in order
    // Fragments kept while the request went out lie in the reply buffer.
    if (buffer != LinkReplyMessage()) ahead.clear();
    bool complete = false;
    // The fragments kept ahead of their turn that follow in place.
    const auto takeKept = [&]() {
        while (!complete && ahead.holds(taken)) {
            complete = ahead.isLast(taken);
            total = taken * pieceBytes + (complete ? ahead.lastLength() : pieceBytes);
            ++taken;
        }
        link.receiveSequence = static_cast<uint16_t>(firstSequence + taken);
        if (complete) {
            ahead.clear();
            link.previousReplySequence = firstSequence;
            if (link.echoWindow > 0) --link.echoWindow;
        }
    };
    takeKept();
    if (complete) return total;
    // Only a fragment taken or kept earns more time: a peer that keeps sending tokens,
    // notifications or copies must not hold the caller beyond the time-out.
    LinkDeadline deadline = LinkDeadlineAfter(LinkReplyTimeoutMicros());
    for (;;) {
        uint8_t* write = buffer + total - kFragmentHeaderSize;
        const HeaderRoom room(write);
        int length = 0;
        const Arrival arrival = nextDatagram(deadline, write, &length);
        if (arrival == Arrival::Failed || arrival == Arrival::Forgotten) {
            ahead.clear();
            return arrival == Arrival::Failed ? -1 : kFrontEndForgot;
        }
        if (arrival == Arrival::Skipped) {
            // The fragments already received stay; reception goes on where it was.
            room.restore();
            continue;
        }
        const uint16_t sequence = loadLE16(write + 2);
        if (sequence == link.previousReplySequence && link.lastMessageLength != 0 &&
            answerRepetition() == Repetition::NotSent) {
            ahead.clear();
            return kResendNotSent;
        }
        const int index = static_cast<int16_t>(static_cast<uint16_t>(sequence - firstSequence));
        const uint8_t continuation = write[1];
        const int dataLength = length - static_cast<int>(kFragmentHeaderSize);
        if (index != taken) {
            // Ahead of its turn (the network reordered the reply): kept where it belongs. A copy or
            // an older reply's fragment is dropped.
            bool kept = false;
            const bool acknowledged = index < taken || keepAhead(write, length, taken, total, kept);
            room.restore();
            if (!acknowledged) {
                ahead.clear();
                return -1;
            }
            if (kept) deadline = LinkDeadlineAfter(LinkReplyTimeoutMicros());
            continue;
        }
        room.restore();
        ++taken;
        total += dataLength;
        if (total > kMaxReplyLength ||
            (continuation == kLinkMoreFragmentsAckWanted && !sendAcknowledgement())) {
            ahead.clear();
            return -1;
        }
        complete = continuation == kLinkLastFragment;
        // Only whole fragments put the ones kept after them in their place.
        if (!complete && dataLength != pieceBytes) ahead.clear();
        takeKept();
        if (complete) {
            ahead.clear();
            return total;
        }
        deadline = LinkDeadlineAfter(LinkReplyTimeoutMicros());
    }
}

int LinkSendRequest(int length) noexcept {
    RemoteLinkState& link = gRemoteLink;
    // The empty message asks for the reply of the request in progress: nothing to get ready.
    if (length != 0) {
        const int ready = readyForRequest();
        if (ready != 0) {
            link.lastResult = ready;
            return -1;
        }
    }
    uint8_t* message = LinkRequestMessage();
    std::memset(message, 0, kRequestBodyOffset);
    const int messageLength = length == 0 ? 0 : static_cast<int>(kRequestBodyOffset) + length;
    // A request sent in part would be waited for in vain, or joined to the next by the peer.
    if (LinkTransmit(message, messageLength) != messageLength) {
        link.lastResult = link.lost ? kLinkLostResult : -2;
        link.resyncDue = !link.lost;
        return -1;
    }
    return 0;
}

int LinkWaitReply() noexcept {
    RemoteLinkState& link = gRemoteLink;
    const uint8_t* reply = LinkReplyMessage();
    int examined = 0;
    int result = -1;
    for (;;) {
        const int length = LinkReceiveMessage(LinkReplyMessage());
        if (length == kResendNotSent) result = -2;
        if (length == kFrontEndForgot) {
            // Nothing of this request was carried out; only a new link can go on.
            link.lost = true;
            link.lastResult = kLinkLostResult;
            return -1;
        }
        if (length < 0) break;
        // A reply too short for a status and a message id cannot answer anything; it is dropped,
        // and so is any reply to another message id, whatever its status and toggle.
        if (length >= kReplyHeadSize && reply[kReplyIdOffset] == link.messageId) {
            const uint8_t flags = reply[kReplyFlagsOffset];
            const int toggle = (flags >> kReplyToggleShift) & 1;
            if (reply[kReplyStatusOffset] == kReplyStatusPending) {
                link.replyToggle = -1;
                examined = 0;
            } else if ((flags & kReplyToggleValidFlag) == 0 || toggle != link.replyToggle) {
                link.replyToggle = toggle;
                return length - 1;
            } else if (LinkSendRequest(0) != 0) {
                // The same reply again: an empty message asks the peer for the new one.
                result = link.lost ? kLinkLostResult : -2;
                break;
            }
        }
        if (++examined >= kMaxExaminedReplies) break;
    }
    // Fragments of this reply may still come: the next request first synchronises.
    link.lastResult = result;
    link.resyncDue = !link.lost;
    return -1;
}
