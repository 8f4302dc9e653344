// SPDX-License-Identifier: Apache-2.0
// Messages over the open link: fragments written in place, flow control, acknowledgements,
// resends, reassembly in place and the matching of replies to the current request.
#include <cstring>

#include "remote/LinkRoutines.h"
#include "remote/RemoteLink.h"
#include "remote/RemoteLinkState.h"
#include "remote/RetransmitTimer.h"

namespace {

// Past this many bytes of one message the peer hands out a token per fragment.
constexpr int kFlowControlBytes = 6000;
constexpr int kMaxExaminedReplies = 5;
constexpr int kReplyHeadSize = static_cast<int>(kReplyDataOffset);
// Our resend's echo comes with the reply it answers or with the next one.
constexpr int kEchoReplies = 2;
// Resends of one request at most: the first at once, each further one paced.
constexpr int kMaxResends = 5;
// The pause before the second resend and between its back-to-back fragments; doubled each time.
constexpr int64_t kFirstResendGapMicros = 4000;
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
    const int index =
        static_cast<int16_t>(static_cast<uint16_t>(loadLE16(datagram + 2) - firstSequence));
    // Only where every fragment before it in place was whole does its place follow from its number.
    kept = index >= taken && total == taken * pieceBytes &&
           link.aheadFragments.keep(LinkReplyMessage(), index, pieceBytes, datagram, length);
    return !kept || datagram[1] != kLinkMoreFragmentsAckWanted || sendAcknowledgement();
}

// The front end's repetition of its previous reply, told by a fragment numbered as that reply's
// first; a repetition after an empty message answers nothing of ours.
bool isRepetition(const uint8_t* datagram) noexcept {
    const RemoteLinkState& link = gRemoteLink;
    return datagram[0] == LINK_DATA_IN && link.lastMessageLength != 0 &&
           loadLE16(datagram + 2) == link.previousReplySequence;
}

// What a wait while a request goes out makes of a repetition of the previous reply.
enum class WhileSending {
    Pausing,    // a paced resend is under way already: a copy
    Sending,    // the front end has not had the whole request: the echo of our last resend
    LastToken,  // the last fragment is out: the front end's word that the request came broken
};

enum class Waited { Token, Elapsed, Failed };

// Takes what comes until a flow token or the deadline. A notification is kept; fragments of the
// reply (the peer answering as the last fragments go out, or while we resend) are kept for the
// reception; the front end's word that it holds no link with us ends the wait and the link; a
// repetition of the previous reply is noted as `when` says; anything else is stale.
Waited awaitDatagrams(LinkDeadline deadline, WhileSending when) noexcept {
    RemoteLinkState& link = gRemoteLink;
    uint8_t datagram[kMaxPacketLength];
    for (;;) {
        int length = 0;
        LinkAddress from{};
        const LinkWait wait = LinkAwaitDatagramUntil(deadline, LinkSource::Answerer, datagram,
                                                     link.packetLength, &length, &from);
        if (wait == LinkWait::TimedOut) return Waited::Elapsed;
        if (wait != LinkWait::Received) return Waited::Failed;
        if (length == 1 && datagram[0] == LINK_FLOW_TOKEN) return Waited::Token;
        if (length <= static_cast<int>(kFragmentHeaderSize)) continue;
        if (answersCurrentRequest(datagram, length)) {
            link.lost = true;
            return Waited::Failed;
        }
        if (datagram[0] == LINK_NOTIFY) {
            if (LinkKeepNotification(datagram, length) != 0) return Waited::Failed;
        } else if (isRepetition(datagram)) {
            // Ahead of the last token it answers this request (dropped, the call would wait in
            // vain); earlier it is a copy, or the echo of the last call's resend.
            if (when == WhileSending::LastToken) link.repetitionPending = true;
            if (when == WhileSending::Sending && link.echoWindow == 1) link.echoWindow = 0;
        } else if (datagram[0] == LINK_DATA_IN) {
            bool kept = false;
            // Where the reception of this reply stands: a resend may go out in the middle of it.
            if (!keepAhead(datagram, length, link.replyTaken, link.replyTotal, kept))
                return Waited::Failed;
        }
    }
}

// How a message goes out. A first sending waits up to one reply time-out for each flow token, so
// that a silent peer cannot hold the caller for ever. A resend waits less: a front end passes over,
// without a token, a fragment that reaches it ahead of the resend's first. A further resend also
// waits `gapMicros` after each fragment that would otherwise go back to back.
struct Sending {
    int64_t gapMicros = 0;
    int64_t tokenMicros = 0;    // 0: the reply time-out
    bool tokenOverdue = false;  // a token did not come within tokenMicros
};

bool awaitFlowToken(Sending& sending, WhileSending when) noexcept {
    RemoteLinkState& link = gRemoteLink;
    const int64_t timeout =
        sending.tokenMicros > 0 ? sending.tokenMicros : LinkReplyTimeoutMicros();
    const LinkDeadline start = LinkDeadlineAfter(0);
    const Waited waited = awaitDatagrams(start + timeout, when);
    if (waited == Waited::Token) {
        const int64_t took = LinkDeadlineAfter(0) - start;
        if (took > link.longestTokenWaitMicros) link.longestTokenWaitMicros = took;
        if (link.resendsSent == 0 && link.timeoutResends == 0) link.tokenTrip.sample(took);
        return true;
    }
    sending.tokenOverdue = waited == Waited::Elapsed && sending.tokenMicros > 0;
    return false;
}

// A pause of a paced resend; a flow token in it is a stray one. False when the link failed.
bool pauseFor(int64_t micros) noexcept {
    const LinkDeadline deadline = LinkDeadlineAfter(micros);
    for (;;) {
        const Waited waited = awaitDatagrams(deadline, WhileSending::Pausing);
        if (waited != Waited::Token) return waited == Waited::Elapsed;
    }
}

bool sendAcknowledgement() noexcept {
    uint8_t ack[kLinkControlDatagramSize] = {LINK_ACK};
    std::memcpy(ack + kLinkMagicOffset, kLinkMagic, kLinkMagicSize);
    return LinkSendDatagram(ack, kLinkControlDatagramSize) == kLinkControlDatagramSize;
}

enum class Arrival { Fragment, Skipped, TimedOut, Failed, Forgotten };

// Reads the next datagram at `at`; flow tokens, notifications and stray handshake answers are
// dealt with here.
Arrival nextDatagram(LinkDeadline deadline, uint8_t* at, int* length) noexcept {
    RemoteLinkState& link = gRemoteLink;
    LinkAddress from{};
    const LinkWait wait = LinkAwaitDatagramUntil(deadline, LinkSource::Answerer, at,
                                                 link.packetLength, length, &from);
    if (wait == LinkWait::TimedOut) return Arrival::TimedOut;
    if (wait != LinkWait::Received || *length == 0) return Arrival::Failed;
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
    link.resendsSent = 0;
    link.timeoutResends = 0;
    link.replyTaken = 0;
    link.replyTotal = 0;
    link.roundTripSampled = false;
    link.resendWaitsMicros = 0;
    link.repetitionPending = false;
    link.longestTokenWaitMicros = 0;
    return 0;
}

// Each header written over the 4 bytes in front of its piece and put back after the send.
int transmitInPlace(uint8_t* message, int length, Sending& sending) noexcept {
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
        const bool tokenDue = sentBytes + link.packetLength > kFlowControlBytes;
        const bool last = remaining == piece;
        const WhileSending when = last ? WhileSending::LastToken : WhileSending::Sending;
        if ((tokenDue && !awaitFlowToken(sending, when)) ||
            (!tokenDue && !last && sending.gapMicros > 0 && !pauseFor(sending.gapMicros))) {
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
int transmitInBatches(uint8_t* message, int length, Sending& sending) noexcept {
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
        const WhileSending when = offset < length ? WhileSending::Sending : WhileSending::LastToken;
        if (tokenDue && !awaitFlowToken(sending, when)) return -1;
        ++link.transmitSequence;
        queued = 0;
    } while (offset < length);
    return length;
}

int transmit(uint8_t* message, int length, Sending& sending) noexcept {
    RemoteLinkState& link = gRemoteLink;
    link.lastMessage = message;
    link.lastMessageLength = length;
    link.savedTransmitSequence = link.transmitSequence;
    // A message of one datagram gains nothing from a batch, and a paced one goes one at a time.
    const bool severalDatagrams =
        length > link.packetLength - static_cast<int>(kFragmentHeaderSize);
    return severalDatagrams && sending.gapMicros == 0 && canSendInBatches(LinkSockets())
               ? transmitInBatches(message, length, sending)
               : transmitInPlace(message, length, sending);
}

// The peer repeats its previous reply when our last request reached it broken. The first resend
// goes at once, which is all a lost datagram needs. A network that reorders back-to-back fragments
// may break the resend too: a repetition comes again, or a flow token does not come within twice
// the longest this request's tokens took (and a tenth of the reply time-out), as the peer passes
// over without a token a fragment that reaches it ahead of the resend's first. Each further
// resend (five resends in all) waits a gap first, so that the broken one's stragglers reach the
// peer before it and a reply that comes meanwhile calls it off, and spaces its back-to-back
// fragments by that gap, doubled each time. The pauses and the waits for tokens that did not come
// stay within one reply time-out per request: a front end that falls silent during the resends is
// given up on about as soon as one that never answered. Once a fragment of the reply is in, the
// request was carried out and a repetition is a copy. The peer's answer to a resend of a request
// it had already carried out is a repetition of the reply that follows, let pass once in the call
// after that reply.
enum class Repetition { Ignored, Resent, NotSent };

Repetition answerRepetition(bool replyBegun) noexcept {
    RemoteLinkState& link = gRemoteLink;
    if (link.echoWindow == 1) {
        link.echoWindow = 0;
        return Repetition::Ignored;
    }
    if (replyBegun) return Repetition::Ignored;
    const int length = link.lastMessageLength;
    const int pieceCapacity = link.packetLength - static_cast<int>(kFragmentHeaderSize);
    const int fragments = length == 0 ? 1 : (length + pieceCapacity - 1) / pieceCapacity;
    const int backToBack = kFlowControlBytes / link.packetLength;
    const int64_t timeout = LinkReplyTimeoutMicros();
    // After a resend that stalled, giving up means the request did not go whole.
    Repetition givenUp = Repetition::Ignored;
    for (;;) {
        Sending sending;
        if (link.resendsSent > 0 && link.aheadFragments.empty()) {
            if (link.resendsSent >= kMaxResends) return givenUp;
            sending.gapMicros = kFirstResendGapMicros << (link.resendsSent - 1);
            const int gaps = fragments < backToBack ? fragments : backToBack;
            link.resendWaitsMicros += sending.gapMicros * gaps;
            if (link.resendWaitsMicros > timeout) return givenUp;
            if (!pauseFor(sending.gapMicros)) return Repetition::NotSent;
        }
        if (!link.aheadFragments.empty()) {
            // The reply has begun to come: the request went whole before.
            link.transmitSequence = static_cast<uint16_t>(link.savedTransmitSequence + fragments);
            return givenUp == Repetition::Ignored ? Repetition::Ignored : Repetition::Resent;
        }
        const int64_t allowance = 2 * link.longestTokenWaitMicros;
        sending.tokenMicros = allowance > timeout / 10 ? allowance : timeout / 10;
        if (sending.tokenMicros > timeout) sending.tokenMicros = timeout;
        ++link.resendsSent;
        link.echoWindow = kEchoReplies;
        link.repetitionPending = false;
        link.transmitSequence = link.savedTransmitSequence;
        link.resentFragments += static_cast<uint64_t>(fragments);
        if (transmit(link.lastMessage, length, sending) == length) return Repetition::Resent;
        if (!sending.tokenOverdue) return Repetition::NotSent;
        link.resendWaitsMicros += sending.tokenMicros;
        givenUp = Repetition::NotSent;
    }
}

int fragmentsOf(int length) noexcept {
    const int pieceCapacity = gRemoteLink.packetLength - static_cast<int>(kFragmentHeaderSize);
    return length == 0 ? 1 : (length + pieceCapacity - 1) / pieceCapacity;
}

// The wait before the next resend of the request in progress on a time-out.
int64_t resendIntervalMicros() noexcept {
    const RemoteLinkState& link = gRemoteLink;
    const int64_t timeout = LinkReplyTimeoutMicros();
    return retransmitIntervalMicros(link.roundTrip.timeoutMicros(timeout), link.timeoutResends,
                                    timeout);
}

// How long a repeatable request's sending waits for one flow token before it starts again.
int64_t tokenIntervalMicros() noexcept {
    const RemoteLinkState& link = gRemoteLink;
    const int64_t timeout = LinkReplyTimeoutMicros();
    return retransmitIntervalMicros(link.tokenTrip.timeoutMicros(timeout), link.timeoutResends,
                                    timeout);
}

// The space between back-to-back fragments of the resend after `resendsSoFar` timed ones.
int64_t resendGapMicros(int resendsSoFar) noexcept {
    constexpr int kLongestGapShift = 4;  // 64 ms: beyond any jitter a link lives with
    return kFirstResendGapMicros << (resendsSoFar < kLongestGapShift ? resendsSoFar
                                                                     : kLongestGapShift);
}

void armResendTimer() noexcept {
    gRemoteLink.nextResendAtMicros = LinkDeadlineAfter(resendIntervalMicros());
}

// One more sending of the request in progress, with its own sequence numbers, after a time-out.
// A front end that carried it out already answers with its reply again; one that did not takes it
// as new. False when the link failed; a sending whose flow token did not come is left to the
// timer. The sequence number moves past the request whatever went.
enum class TimedResend { Sent, Broken, Failed };

TimedResend resendAfterTimeout() noexcept {
    RemoteLinkState& link = gRemoteLink;
    const int length = link.lastMessageLength;
    const int fragments = fragmentsOf(length);
    Sending sending;
    sending.tokenMicros = tokenIntervalMicros();
    // A network that delays each datagram on its own reorders back-to-back fragments, which
    // breaks the resend again: they are spaced, more each time.
    if (fragments > 1) sending.gapMicros = resendGapMicros(link.timeoutResends);
    ++link.timeoutResends;
    ++link.timeoutRetransmissions;
    link.resentFragments += static_cast<uint64_t>(fragments);
    // The front end's answer to a resend of what it carried out is a repetition of this reply.
    link.echoWindow = kEchoReplies;
    link.transmitSequence = link.savedTransmitSequence;
    const int sent = transmit(link.lastMessage, length, sending);
    link.transmitSequence = static_cast<uint16_t>(link.savedTransmitSequence + fragments);
    armResendTimer();
    if (sent == length) return TimedResend::Sent;
    return sending.tokenOverdue && !link.lost ? TimedResend::Broken : TimedResend::Failed;
}

// A request that may go out again: a flow token that does not come within its interval starts
// the sending again from the first fragment, until the reply time-out has passed. Returns the
// length, or -1 as transmit does.
int transmitRepeatable(uint8_t* message, int length) noexcept {
    RemoteLinkState& link = gRemoteLink;
    const LinkDeadline giveUp = LinkDeadlineAfter(LinkReplyTimeoutMicros());
    Sending sending;
    sending.tokenMicros = tokenIntervalMicros();
    int sent = transmit(message, length, sending);
    while (sent != length) {
        if (!sending.tokenOverdue || link.lost) return -1;
        if (!link.aheadFragments.empty()) {
            // The reply has begun to come: the request went whole, only a token was lost.
            link.transmitSequence =
                static_cast<uint16_t>(link.savedTransmitSequence + fragmentsOf(length));
            return length;
        }
        if (LinkDeadlineAfter(0) >= giveUp) return -1;
        ++link.timeoutResends;
        ++link.timeoutRetransmissions;
        link.resentFragments += static_cast<uint64_t>(fragmentsOf(length));
        link.transmitSequence = link.savedTransmitSequence;
        sending = Sending{};
        sending.tokenMicros = tokenIntervalMicros();
        sending.gapMicros = resendGapMicros(link.timeoutResends - 1);
        sent = transmit(message, length, sending);
    }
    return length;
}

// Whether the request in progress goes out again when no reply came within its interval.
bool timedResends() noexcept {
    return gRemoteLink.requestRepeatable && gRemoteLink.lastMessageLength != 0;
}

// The time from the request's last fragment to its reply, of a request that went out once.
void sampleRoundTrip() noexcept {
    RemoteLinkState& link = gRemoteLink;
    if (link.roundTripSampled) return;
    link.roundTripSampled = true;
    if (link.timeoutResends != 0 || link.resendsSent != 0) return;
    link.roundTrip.sample(LinkDeadlineAfter(0) - link.requestSentAtMicros);
}

}  // namespace

int LinkTransmit(uint8_t* message, int length) noexcept {
    Sending sending;
    return transmit(message, length, sending);
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
    // What a wait during a resend keeps must land where this reception stands.
    const auto noteProgress = [&]() {
        link.replyTaken = taken;
        link.replyTotal = total;
    };
    // Only a fragment taken or kept, or a resend, earns more time: a peer that keeps sending
    // tokens, notifications or copies must not hold the caller beyond the time-out.
    LinkDeadline deadline = LinkDeadlineAfter(LinkReplyTimeoutMicros());
    // One may have come while the request went out, ahead of its last flow token.
    bool repeated = link.repetitionPending;
    for (;;) {
        if (repeated) {
            link.repetitionPending = false;
            noteProgress();
            const Repetition answer = answerRepetition(taken > 0 || !ahead.empty());
            // With retransmission the timer goes on where the paced resends gave up.
            if (answer == Repetition::NotSent && (!timedResends() || link.lost)) {
                ahead.clear();
                return link.lost ? kFrontEndForgot : kResendNotSent;
            }
            // What came while the resend went out may complete the reply.
            takeKept();
            if (complete) return total;
            if (answer == Repetition::Resent) {
                deadline = LinkDeadlineAfter(LinkReplyTimeoutMicros());
                armResendTimer();
            }
            // The resend may have come broken too, its answer ahead of its last flow token.
            repeated = link.repetitionPending;
            continue;
        }
        uint8_t* write = buffer + total - kFragmentHeaderSize;
        const HeaderRoom room(write);
        int length = 0;
        // A repeatable request goes out again when nothing of its reply came within its interval.
        const bool timed = timedResends() && link.nextResendAtMicros < deadline;
        const Arrival arrival =
            nextDatagram(timed ? link.nextResendAtMicros : deadline, write, &length);
        if (arrival == Arrival::TimedOut && timed) {
            room.restore();
            noteProgress();
            const TimedResend resent = resendAfterTimeout();
            if (resent == TimedResend::Failed) {
                ahead.clear();
                return link.lost ? kFrontEndForgot : kResendNotSent;
            }
            takeKept();
            if (complete) return total;
            repeated = link.repetitionPending;
            continue;
        }
        if (arrival == Arrival::TimedOut || arrival == Arrival::Failed ||
            arrival == Arrival::Forgotten) {
            ahead.clear();
            return arrival == Arrival::Forgotten ? kFrontEndForgot : -1;
        }
        if (arrival == Arrival::Skipped) {
            // The fragments already received stay; reception goes on where it was.
            room.restore();
            continue;
        }
        if (isRepetition(write)) {
            room.restore();
            repeated = true;
            continue;
        }
        const uint16_t sequence = loadLE16(write + 2);
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
            if (kept) {
                deadline = LinkDeadlineAfter(LinkReplyTimeoutMicros());
                armResendTimer();
            }
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
        armResendTimer();
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
    const bool repeatable = length != 0 && link.requestRepeatable;
    const int sent = repeatable ? transmitRepeatable(message, messageLength)
                                : LinkTransmit(message, messageLength);
    if (sent != messageLength) {
        link.lastResult = link.lost ? kLinkLostResult : -2;
        link.resyncDue = !link.lost;
        return -1;
    }
    if (length != 0) {
        link.requestSentAtMicros = LinkDeadlineAfter(0);
        armResendTimer();
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
                sampleRoundTrip();
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
