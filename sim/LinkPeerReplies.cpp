// SPDX-License-Identifier: Apache-2.0
// The link peer's replies: envelopes, fragments, acknowledgement waits, repeats, decorations the
// fault plan asks for, and the datagrams' way out.
#include <algorithm>
#include <utility>

#include "sim/HexText.h"
#include "sim/LinkPeer.h"
#include "sim/PeerWire.h"

namespace quorbit {
namespace {

constexpr std::size_t kNotificationBytes = 8;
constexpr std::size_t kSpareBuffers = 32;  // a whole reply's fragments

}  // namespace

// ---- Replies ----------------------------------------------------------------------------------

void LinkPeer::buildEnvelope(std::vector<std::uint8_t>& message, bool toggle, std::uint8_t status,
                             std::uint8_t id, const std::uint8_t* data,
                             std::size_t dataLength) const {
    message.assign(kReplyDataOffset, 0);
    message[0] = static_cast<std::uint8_t>(kReplyToggleValid | (toggle ? kReplyToggleBit : 0));
    // Bytes 1-2 are not examined by the client; they carry the data length for readers of dumps.
    writeLe16(message.data() + 1,
              static_cast<std::uint16_t>(std::min<std::size_t>(dataLength, 0xFFFF)));
    message[kReplyStatusOffset] = status;
    message[kReplyIdOffset] = id;
    if (dataLength > 0) message.insert(message.end(), data, data + dataLength);
}

void LinkPeer::sendReply(std::uint8_t status, std::uint8_t id,
                         const std::vector<std::uint8_t>& data, PeerClock::time_point now) {
    if (plainReplyNow()) {
        toggle_ = !toggle_;
        clientToggleKnown_ = true;
        buildEnvelope(lastReply_, toggle_, status, id, data.data(), data.size());
        lastReplyFirstSequence_ = transmitSequence_;
        haveLastReply_ = true;
        transmitSequence_ = sendMessageNow(lastReply_, transmitSequence_);
        return;
    }
    const PeerClock::time_point due = now + std::chrono::milliseconds(faults_.delayReplyMs);
    const bool previousToggle = toggle_;
    std::vector<std::uint8_t> decoy;
    if (fires(faults_.notify, "notify", id)) queueDecoration(notificationDatagram(), due);
    if (fires(faults_.tokenFirst, "token-first", id)) queueDecoration({LINK_FLOW_TOKEN}, due);
    if (fires(faults_.staleFirst, "stale-first", id)) {
        buildEnvelope(decoy, previousToggle, kStatusOk, static_cast<std::uint8_t>(id - 1), nullptr,
                      0);
        transmitSequence_ = queueMessage(decoy, transmitSequence_, due, false, false, false);
    }
    // Before busy-first: status 254 makes the client forget its toggle.
    if (clientToggleKnown_ && fires(faults_.sameToggleFirst, "same-toggle-first", id)) {
        buildEnvelope(decoy, previousToggle, status, id, data.data(), data.size());
        transmitSequence_ = queueMessage(decoy, transmitSequence_, due, false, false, false);
    }
    if (fires(faults_.busyFirst, "busy-first", id)) {
        buildEnvelope(decoy, previousToggle, kStatusBusy, id, nullptr, 0);
        transmitSequence_ = queueMessage(decoy, transmitSequence_, due, false, false, false);
    }
    toggle_ = !toggle_;
    clientToggleKnown_ = true;
    buildEnvelope(lastReply_, toggle_, status, id, data.data(), data.size());
    lastReplyFirstSequence_ = transmitSequence_;
    haveLastReply_ = true;
    if (fires(faults_.spoof, "spoof", id)) {
        // Same numbers as the real reply, inverted data, from the other socket.
        decoy = lastReply_;
        for (std::size_t i = kReplyDataOffset; i < decoy.size(); ++i) {
            decoy[i] = static_cast<std::uint8_t>(~decoy[i]);
        }
        (void)queueMessage(decoy, transmitSequence_, due, true, false, false);
    }
    const bool between = fires(faults_.tokensBetween, "tokens-between", id);
    transmitSequence_ = queueMessage(lastReply_, transmitSequence_, due, false, between, true);
    if (fires(faults_.duplicateReply, "dup-reply", id)) {
        (void)queueMessage(lastReply_, lastReplyFirstSequence_, due, false, false, false);
        ++counters_.repeatedReplies;
    }
    flush(now);
}

// No fault shapes the reply and nothing waits before it: the queue would send it at once.
bool LinkPeer::plainReplyNow() const {
    const FaultPlan& f = faults_;
    return outbox_.empty() && !ackWaitUntil_ && f.delayReplyMs == 0 && f.ackEvery == 0 &&
           f.repeatIdleMs == 0 && f.notify <= 0.0 && f.tokenFirst <= 0.0 && f.staleFirst <= 0.0 &&
           f.sameToggleFirst <= 0.0 && f.busyFirst <= 0.0 && f.spoof <= 0.0 &&
           f.tokensBetween <= 0.0 && f.duplicateReply <= 0.0;
}

std::size_t LinkPeer::fragmentDataBytes() const {
    return static_cast<std::size_t>(options_.packetLength) - kFragmentHeaderBytes;
}

std::size_t LinkPeer::fragmentCount(std::size_t messageBytes) const {
    const std::size_t perFragment = fragmentDataBytes();
    return std::max<std::size_t>(1, (messageBytes + perFragment - 1) / perFragment);
}

// The fragments of queueMessage, sent as they are built through one reused buffer.
std::uint16_t LinkPeer::sendMessageNow(const std::vector<std::uint8_t>& message,
                                       std::uint16_t firstSequence) {
    const std::size_t perFragment = fragmentDataBytes();
    const std::size_t fragments = fragmentCount(message.size());
    std::uint16_t sequence = firstSequence;
    for (std::size_t k = 0; k < fragments; ++k) {
        const std::size_t begin = k * perFragment;
        const std::size_t end = std::min(message.size(), begin + perFragment);
        fragment_.resize(kFragmentHeaderBytes + (end - begin));
        fragment_[0] = LINK_DATA_IN;
        fragment_[1] = k + 1 == fragments ? kLastFragment : kMoreFragments;
        writeLe16(fragment_.data() + 2, sequence);
        std::copy(message.data() + begin, message.data() + end,
                  fragment_.data() + kFragmentHeaderBytes);
        sendNow(fragment_.data(), fragment_.size(), DatagramKind::Fragment, false);
        sequence = static_cast<std::uint16_t>(sequence + 1);
    }
    return sequence;
}

std::uint16_t LinkPeer::queueMessage(const std::vector<std::uint8_t>& message,
                                     std::uint16_t firstSequence, PeerClock::time_point due,
                                     bool fromSecondSocket, bool decorateBetween, bool freshReply) {
    const std::size_t perFragment = fragmentDataBytes();
    const std::size_t fragments = fragmentCount(message.size());
    std::uint16_t sequence = firstSequence;
    for (std::size_t k = 0; k < fragments; ++k) {
        const bool lastFragment = k + 1 == fragments;
        const std::size_t begin = k * perFragment;
        const std::size_t end = std::min(message.size(), begin + perFragment);
        const bool askAck =
            !lastFragment && faults_.ackEvery != 0 && (k + 1) % faults_.ackEvery == 0;
        Pending pending;
        pending.due = due;
        if (!spareBytes_.empty()) {
            pending.bytes = std::move(spareBytes_.back());
            spareBytes_.pop_back();
        }
        pending.bytes.resize(kFragmentHeaderBytes + (end - begin));
        pending.bytes[0] = LINK_DATA_IN;
        pending.bytes[1] =
            lastFragment ? kLastFragment : (askAck ? kMoreFragmentsAckPlease : kMoreFragments);
        writeLe16(pending.bytes.data() + 2, sequence);
        std::copy(message.begin() + static_cast<std::ptrdiff_t>(begin),
                  message.begin() + static_cast<std::ptrdiff_t>(end),
                  pending.bytes.begin() + kFragmentHeaderBytes);
        pending.fromSecondSocket = fromSecondSocket;
        pending.waitsForAck = askAck && !fromSecondSocket;
        pending.endsReply = freshReply && lastFragment;
        outbox_.push_back(std::move(pending));
        if (decorateBetween && !lastFragment) {
            queueDecoration({LINK_FLOW_TOKEN}, due);
            queueDecoration(notificationDatagram(), due);
        }
        sequence = static_cast<std::uint16_t>(sequence + 1);
    }
    return sequence;
}

void LinkPeer::queueDecoration(std::vector<std::uint8_t> bytes, PeerClock::time_point due) {
    Pending pending;
    pending.due = due;
    pending.bytes = std::move(bytes);
    pending.kind = DatagramKind::Decoration;
    outbox_.push_back(std::move(pending));
}

std::vector<std::uint8_t> LinkPeer::notificationDatagram() {
    std::vector<std::uint8_t> datagram(kNotificationBytes, 0);
    datagram[0] = LINK_NOTIFY;
    datagram[1] = 0x01;  // event kind: target state changed
    writeLe32(datagram.data() + 4, ++notificationCount_);
    return datagram;
}

void LinkPeer::repeatLastReply(PeerClock::time_point now, const char* why) {
    if (!haveLastReply_ || !connected_) return;
    const PeerClock::time_point due = now + std::chrono::milliseconds(faults_.delayReplyMs);
    (void)queueMessage(lastReply_, lastReplyFirstSequence_, due, false, false, false);
    ++counters_.repeatedReplies;
    log(LogKind::Info, std::string("last reply repeated: ") + why);
}

void LinkPeer::flush(PeerClock::time_point now) {
    while (!outbox_.empty()) {
        if (ackWaitUntil_) {
            if (now < *ackWaitUntil_) return;
            ackWaitUntil_.reset();
            log(LogKind::Info, "no acknowledgement came; sending the rest of the reply");
        }
        Pending& pending = outbox_.front();
        if (pending.due > now) return;
        sendNow(pending.bytes.data(), pending.bytes.size(), pending.kind, pending.fromSecondSocket);
        if (pending.waitsForAck)
            ackWaitUntil_ = now + std::chrono::milliseconds(options_.ackWaitMs);
        if (pending.endsReply && faults_.repeatIdleMs != 0) {
            idleRepeatAt_ = now + std::chrono::milliseconds(faults_.repeatIdleMs);
        }
        if (spareBytes_.size() < kSpareBuffers) spareBytes_.push_back(std::move(pending.bytes));
        outbox_.pop_front();
    }
}

void LinkPeer::sendNow(const std::uint8_t* data, std::size_t length, DatagramKind kind,
                       bool fromSecondSocket) {
    if (silentNow()) return;
    if (fires(faults_.dropOut, "drop-out")) {
        ++counters_.droppedOut;
        // Named, so that a capture's sequence gaps can be matched to the faults behind them.
        if (kind == DatagramKind::Fragment)
            log(LogKind::Info, "reply fragment " + std::to_string(readLe16(data + 2)) +
                                   (data[1] == kLastFragment ? " (the last)" : "") +
                                   " dropped on purpose");
        return;
    }
    if (shapesOutbound()) {
        InFlight datagram;
        datagram.bytes.assign(data, data + length);
        datagram.fromSecondSocket = fromSecondSocket;
        const PeerClock::time_point now = PeerClock::now();
        putInFlight(outbound_, datagram, faults_.duplicateOut, faults_.reorderOut, faults_.delayOut,
                    false, now);
        releaseOutbound(now);
    } else {
        transport_.send(client_, data, length, fromSecondSocket);
    }
    switch (kind) {
        case DatagramKind::Fragment:
            ++counters_.fragmentsOut;
            break;
        case DatagramKind::FlowToken:
            ++counters_.flowTokensSent;
            break;
        case DatagramKind::Decoration:
            if (data[0] == LINK_NOTIFY) ++counters_.notificationsSent;
            break;
        case DatagramKind::Handshake:
            break;
    }
}

// A flow token, a notification and a fragment of a reply long gone, in turn.
}  // namespace quorbit
