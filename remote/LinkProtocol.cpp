// Messages over the open link: fragments written in place, flow control, acknowledgements,
// reassembly in place and the matching of replies to the current request.
#include <cstring>

#include "remote/LinkRoutines.h"
#include "remote/RemoteLinkState.h"

namespace {

// Past this many bytes of one message the peer hands out a token per fragment.
constexpr int kFlowControlBytes = 6000;
constexpr int kMaxExaminedReplies = 5;
constexpr int kReplyHeadSize = static_cast<int>(kReplyDataOffset);

// The 4 bytes a fragment header is written over, put back once the datagram is gone.
class HeaderRoom {
  public:
    explicit HeaderRoom(uint8_t* at) noexcept : at_(at) { std::memcpy(saved_, at_, sizeof saved_); }
    void restore() const noexcept { std::memcpy(at_, saved_, sizeof saved_); }

  private:
    uint8_t* at_ = nullptr;
    uint8_t saved_[kFragmentHeaderSize] = {};
};

bool awaitFlowToken() noexcept {
    // The token itself is not examined; anything longer than one byte fails the wait.
    uint8_t token = 0;
    int length = 0;
    return LinkAwaitDatagram(LinkReplyTimeoutMicros(), &token, 1, &length) == LinkWait::Received;
}

bool sendAcknowledgement() noexcept {
    uint8_t ack[kLinkControlDatagramSize] = {LINK_ACK};
    std::memcpy(ack + kLinkMagicOffset, kLinkMagic, kLinkMagicSize);
    return LinkSendDatagram(ack, kLinkControlDatagramSize) == kLinkControlDatagramSize;
}

enum class Arrival { Fragment, Skipped, Failed };

// Reads the next datagram at `at`; flow tokens and notifications are dealt with here.
Arrival nextDatagram(LinkDeadline deadline, uint8_t* at, int* length) noexcept {
    LinkAddress from{};
    if (LinkAwaitDatagramUntil(deadline, LinkSource::Answerer, at, gRemoteLink.packetLength, length,
                               &from) != LinkWait::Received ||
        *length == 0) {
        return Arrival::Failed;
    }
    if (*length == 1) return at[0] == LINK_FLOW_TOKEN ? Arrival::Skipped : Arrival::Failed;
    if (*length <= static_cast<int>(kFragmentHeaderSize)) return Arrival::Failed;
    if (at[0] == LINK_NOTIFY) {
        return LinkKeepNotification(at, *length) == 0 ? Arrival::Skipped : Arrival::Failed;
    }
    return at[0] == LINK_DATA_IN ? Arrival::Fragment : Arrival::Failed;
}

// The peer repeats its previous reply when our last request never reached it.
void retransmitLastMessage() noexcept {
    gRemoteLink.transmitSequence = gRemoteLink.savedTransmitSequence;
    (void)LinkTransmit(gRemoteLink.lastMessage, gRemoteLink.lastMessageLength);
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
            return 0;
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
            return 0;
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
    uint8_t* write = buffer - kFragmentHeaderSize;
    int total = 0;
    const uint16_t firstSequence = link.receiveSequence;
    // Only an accepted fragment earns more time: a peer that keeps sending tokens, notifications
    // or fragments out of sequence must not hold the caller beyond the time-out.
    LinkDeadline deadline = LinkDeadlineAfter(LinkReplyTimeoutMicros());
    for (;;) {
        const HeaderRoom room(write);
        int length = 0;
        const Arrival arrival = nextDatagram(deadline, write, &length);
        if (arrival == Arrival::Failed) return -1;
        if (arrival == Arrival::Skipped) {
            // The fragments already received stay; reception goes on where it was.
            room.restore();
            continue;
        }
        const uint16_t sequence = loadLE16(write + 2);
        if (sequence == link.previousReplySequence && link.lastMessageLength != 0) {
            retransmitLastMessage();
        }
        if (sequence != link.receiveSequence) {
            room.restore();  // dropped; the next fragment lands at the same place
            continue;
        }
        ++link.receiveSequence;
        deadline = LinkDeadlineAfter(LinkReplyTimeoutMicros());
        const uint8_t continuation = write[1];
        room.restore();
        const int dataLength = length - static_cast<int>(kFragmentHeaderSize);
        total += dataLength;
        write += dataLength;
        if (total > kMaxReplyLength) return -1;
        if (continuation == kLinkMoreFragmentsAckWanted && !sendAcknowledgement()) return -1;
        if (continuation == kLinkLastFragment) {
            link.previousReplySequence = firstSequence;
            return total;
        }
    }
}

int LinkSendRequest(int length) noexcept {
    uint8_t* message = LinkRequestMessage();
    std::memset(message, 0, kRequestBodyOffset);
    const int messageLength = length == 0 ? 0 : static_cast<int>(kRequestBodyOffset) + length;
    if (LinkTransmit(message, messageLength) == -1) {
        gRemoteLink.lastResult = -2;
        return -1;
    }
    return 0;
}

int LinkWaitReply() noexcept {
    RemoteLinkState& link = gRemoteLink;
    const uint8_t* reply = LinkReplyMessage();
    int examined = 0;
    for (;;) {
        const int length = LinkReceiveMessage(LinkReplyMessage());
        if (length < 0) break;
        // A reply too short for a status and a message id cannot answer anything; it is dropped.
        if (length >= kReplyHeadSize) {
            const uint8_t flags = reply[kReplyFlagsOffset];
            const int toggle = (flags >> kReplyToggleShift) & 1;
            if (reply[kReplyStatusOffset] == kReplyStatusPending) {
                link.replyToggle = -1;
                examined = 0;
            } else if (reply[kReplyIdOffset] == link.messageId) {
                if ((flags & kReplyToggleValidFlag) == 0 || toggle != link.replyToggle) {
                    link.replyToggle = toggle;
                    return length - 1;
                }
                // The same reply again: an empty message asks the peer for the new one.
                if (LinkSendRequest(0) != 0) {
                    link.lastResult = -2;
                    (void)LinkResync();
                }
            }
        }
        if (++examined >= kMaxExaminedReplies) break;
    }
    link.lastResult = -1;
    return -1;
}
