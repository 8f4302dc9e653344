// SPDX-License-Identifier: Apache-2.0
// The setting of retransmission on time-outs, and the probe that finds out whether the front end
// makes it safe: a request it carried out already must be answered with its reply again, not
// carried out once more.
#include "remote/LinkRoutines.h"
#include "remote/RemoteLink.h"
#include "remote/RemoteLinkState.h"

namespace {

constexpr int kProbeSendings = 2;
// How long one sending of the probe waits for its answer, at least: a front end answers a request
// it knows at once, but the first round trips say little about a slow network.
constexpr int64_t kMinProbeWaitMicros = 200000;
// After a repetition, how long a new reply may still come that shows the repetition to be a copy
// the network made of the earlier reply.
constexpr int64_t kMinSettleMicros = 2000;

enum class Heard { Nothing, Repetition, NewReply, Failed };

// What came for one sending of the probe, until the deadline. `previous` numbers the reply of the
// probed request, `fresh` the first fragment of a reply that would follow it.
Heard listen(LinkDeadline deadline, uint16_t previous, uint16_t fresh, Heard sofar) noexcept {
    RemoteLinkState& link = gRemoteLink;
    uint8_t datagram[kMaxPacketLength];
    Heard heard = sofar;
    for (;;) {
        int length = 0;
        LinkAddress from{};
        const LinkWait wait = LinkAwaitDatagramUntil(deadline, LinkSource::Answerer, datagram,
                                                     link.packetLength, &length, &from);
        if (wait == LinkWait::TimedOut) return heard;
        if (wait != LinkWait::Received) return Heard::Failed;
        if (length <= static_cast<int>(kFragmentHeaderSize)) continue;
        if (datagram[0] == LINK_NOTIFY) {
            (void)LinkKeepNotification(datagram, length);
            continue;
        }
        if (datagram[0] != LINK_DATA_IN) continue;
        const uint16_t sequence = loadLE16(datagram + 2);
        if (sequence == fresh) return Heard::NewReply;
        if (sequence == previous && heard != Heard::Repetition) {
            heard = Heard::Repetition;
            const int64_t settle = 2 * link.roundTrip.smoothedMicros;
            const LinkDeadline settled =
                LinkDeadlineAfter(settle > kMinSettleMicros ? settle : kMinSettleMicros);
            if (settled < deadline) deadline = settled;
        }
    }
}

}  // namespace

void KRV_SetRetransmit(LinkRetransmit retransmit) {
    gRemoteLink.retransmit = retransmit;
}

uint64_t KRV_TimeoutRetransmissions() {
    return gRemoteLink.timeoutRetransmissions;
}

LinkRepeatAnswer KRV_ProbeRepeatedRequest() {
    RemoteLinkState& link = gRemoteLink;
    const int length = link.lastMessageLength;
    if (length == 0 || link.lost || link.resyncDue) return LinkRepeatAnswer::NoAnswer;
    const uint16_t previous = link.previousReplySequence;
    const uint16_t fresh = link.receiveSequence;
    const uint16_t first = link.savedTransmitSequence;
    const uint16_t next = link.transmitSequence;
    const int64_t timeout = LinkReplyTimeoutMicros();
    int64_t wait = 4 * link.roundTrip.timeoutMicros(timeout);
    if (wait < kMinProbeWaitMicros) wait = kMinProbeWaitMicros;
    if (wait > timeout) wait = timeout;
    Heard heard = Heard::Nothing;
    for (int sending = 0; sending < kProbeSendings && heard == Heard::Nothing; ++sending) {
        link.transmitSequence = first;
        const bool sent = LinkTransmit(link.lastMessage, length) == length;
        link.transmitSequence = next;
        heard = sent ? listen(LinkDeadlineAfter(wait), previous, fresh, heard) : Heard::Failed;
    }
    switch (heard) {
        case Heard::Repetition:
            return LinkRepeatAnswer::RepeatsReply;
        case Heard::NewReply:
            // Its new reply took sequence numbers we did not follow: the next request syncs.
            link.resyncDue = true;
            return LinkRepeatAnswer::ExecutesAgain;
        case Heard::Nothing:
        case Heard::Failed:
            link.resyncDue = true;
            break;
    }
    return LinkRepeatAnswer::NoAnswer;
}
