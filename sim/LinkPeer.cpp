// SPDX-License-Identifier: Apache-2.0
// The link peer: dispatch of datagrams and timers, the handshake and link control, and the
// fault plan's draws. Reception, replies and the network's faults have files of their own.
#include "sim/LinkPeer.h"

#include <algorithm>
#include <utility>

#include "sim/HexText.h"
#include "sim/PeerWire.h"

namespace quorbit {
namespace {

constexpr std::uint8_t kRefusalDetail[4] = {0x01, 0x00, 0x00, 0x00};  // "busy with another client"

std::string addressText(const PeerAddress& address) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&address.address);
    const auto* port = reinterpret_cast<const std::uint8_t*>(&address.port);
    return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
           std::to_string(bytes[2]) + "." + std::to_string(bytes[3]) + ":" +
           std::to_string((port[0] << 8) | port[1]);
}

}  // namespace

LinkPeer::LinkPeer(const SimOptions& options, EmulatedDebugger& debugger, PeerTransport& transport,
                   SimCounters& counters, PeerLog log)
    : options_(options),
      faults_(options.faults),
      debugger_(debugger),
      transport_(transport),
      counters_(counters),
      log_(std::move(log)),
      injector_(options.faults.seed) {
    request_.reserve(kMaxRequestBytes);
    replyData_.reserve(kMaxReplyDataBytes);
    debugger_.setFaults(faults_.attachFails, faults_.releaseFails);
    debugger_.setDescribeShifts(options_.verbose);
}

// ---- Dispatch ---------------------------------------------------------------------------------

void LinkPeer::onDatagram(const std::uint8_t* data, std::size_t length, const PeerAddress& from,
                          PeerClock::time_point now) {
    if (length == 0) {
        refuse("empty datagram from " + addressText(from));
        return;
    }
    if (fires(faults_.dropIn, "drop-in")) {
        ++counters_.droppedIn;
        return;
    }
    if (shapesInbound()) {
        InFlight datagram;
        datagram.bytes.assign(data, data + length);
        datagram.from = from;
        putInFlight(inbound_, datagram, faults_.duplicateIn, faults_.reorderIn, faults_.delayIn,
                    true, now);
        releaseInbound(now);
        return;
    }
    deliver(data, length, from, now);
}

void LinkPeer::deliver(const std::uint8_t* data, std::size_t length, const PeerAddress& from,
                       PeerClock::time_point now) {
    const std::uint8_t type = data[0];
    if (type == LINK_CONNECT_REQUEST) {
        onConnect(data, length, from, now);
        flush(now);
        return;
    }
    if (!connected_) {
        // A client closing a link that is gone already (its copies of the notice, or a client
        // that has not heard of a restart) says nothing that needs an answer.
        if (type != LINK_DISCONNECT) {
            refuse("datagram type " + hexByte(type) + " from " + addressText(from) +
                   " without a link");
            answerStranger(data, length, from, LINK_CONNECT_DENIED, kReasonNoLink);
        }
        return;
    }
    if (from != client_) {
        refuse("datagram from " + addressText(from) + ", not the connected client");
        answerStranger(data, length, from, LINK_CONNECT_REFUSED, kReasonBusy);
        return;
    }
    lastHeard_ = now;
    switch (type) {
        case LINK_SYNC_REQUEST:
            onSyncRequest(data, length);
            break;
        case LINK_SYNC_CONFIRM:
            onSyncConfirm(data, length);
            break;
        case LINK_DISCONNECT:
            onDisconnect(data, length);
            break;
        case LINK_ACK:
            onAck(data, length, now);
            break;
        case LINK_DATA_OUT:
            onDataFragment(data, length, now);
            break;
        default:
            refuse("unknown datagram type " + hexByte(type));
            break;
    }
    flush(now);
}

void LinkPeer::onTimer(PeerClock::time_point now) {
    releaseOutbound(now);
    releaseInbound(now);
    if (chatterAt_ && now >= *chatterAt_) chatter(now);
    if (idleRepeatAt_ && now >= *idleRepeatAt_) {
        idleRepeatAt_.reset();
        repeatLastReply(now, "no request since the last reply");
    }
    flush(now);
}

std::optional<PeerClock::time_point> LinkPeer::nextDeadline() const {
    std::optional<PeerClock::time_point> next;
    if (!outbox_.empty()) next = ackWaitUntil_ ? *ackWaitUntil_ : outbox_.front().due;
    if (idleRepeatAt_ && (!next || *idleRepeatAt_ < *next)) next = idleRepeatAt_;
    if (chatterAt_ && (!next || *chatterAt_ < *next)) next = chatterAt_;
    for (const std::deque<InFlight>* queue : {&inbound_, &outbound_}) {
        if (!queue->empty() && (!next || queue->front().due < *next)) next = queue->front().due;
    }
    return next;
}

// ---- Handshake and link control ---------------------------------------------------------------

void LinkPeer::onConnect(const std::uint8_t* data, std::size_t length, const PeerAddress& from,
                         PeerClock::time_point now) {
    if (length < kHandshakeBytes || !hasLinkMagic(data, length)) {
        refuse("connect request of " + std::to_string(length) + " bytes without the link magic");
        return;
    }
    const auto lease = std::chrono::seconds(options_.linkLeaseSeconds);
    if (connected_ && from != client_ && now - lastHeard_ < lease) {
        // The holder may be idle between calls; only a silence longer than the lease says it
        // went away without a disconnect notice.
        sendStrangerAnswer(from, LINK_CONNECT_REFUSED, kReasonBusy, readLe16(data + 2));
        ++counters_.connectsRefused;
        log(LogKind::Info, "connect from " + addressText(from) +
                               " refused: " + addressText(client_) + " holds the link");
        return;
    }
    if (connected_ && from != client_) {
        log(LogKind::Info, "the link of " + addressText(client_) +
                               ", silent for the lease, goes to " + addressText(from));
    }
    client_ = from;
    lastHeard_ = now;
    if (faults_.refuse || faults_.deny) {
        forgetLink(false);
        std::uint8_t answer[kHandshakeBytes] = {};
        answer[0] = faults_.deny ? LINK_CONNECT_DENIED : LINK_CONNECT_REFUSED;
        writeLe16(answer + 2, transmitSequence_);
        std::copy(std::begin(kRefusalDetail), std::end(kRefusalDetail), answer + 4);
        putLinkMagic(answer);
        sendNow(answer, sizeof answer, DatagramKind::Handshake, false);
        log(LogKind::Info, std::string("connect from ") + addressText(from) +
                               (faults_.deny ? " denied" : " refused") + " on purpose");
        return;
    }
    forgetLink(false);
    executed_.clear();  // a new link: its sequence numbers start again
    connected_ = true;
    clientToggleKnown_ = false;
    expected_ = readLe16(data + 2);
    syncAgainPending_ = faults_.syncAgain;
    clientPacketLength_ = static_cast<std::size_t>(options_.packetLength);
    sendHandshake(LINK_CONNECT_ACCEPT, static_cast<std::size_t>(options_.packetLength));
    ++counters_.connects;
    log(LogKind::Info, "connect from " + addressText(from) + " accepted, packet length " +
                           std::to_string(options_.packetLength));
}

void LinkPeer::onSyncRequest(const std::uint8_t* data, std::size_t length) {
    if (length != kHandshakeBytes || !hasLinkMagic(data, length)) {
        refuse("sync request of " + std::to_string(length) + " bytes or without the link magic");
        return;
    }
    expected_ = readLe16(data + 2);
    resetReceive();
    outbox_.clear();
    ackWaitUntil_.reset();
    idleRepeatAt_.reset();
    chatterAt_.reset();
    haveLastRequest_ = false;
    haveLastReply_ = false;
    clientToggleKnown_ = false;
    if (syncAgainPending_) {
        syncAgainPending_ = false;
        sendHandshake(LINK_SYNC_AGAIN, kHandshakeBytes);
        log(LogKind::Info, "sync request answered with sync-again on purpose");
        return;
    }
    sendHandshake(LINK_SYNC_REPLY, kHandshakeBytes);
    ++counters_.syncs;
    log(LogKind::Request, "sync: client sequence " + std::to_string(expected_) + ", ours " +
                              std::to_string(transmitSequence_));
}

void LinkPeer::onSyncConfirm(const std::uint8_t* data, std::size_t length) {
    if (length != kHandshakeBytes || !hasLinkMagic(data, length)) {
        refuse("sync confirm of " + std::to_string(length) + " bytes or without the link magic");
        return;
    }
    expected_ = readLe16(data + 2);
}

void LinkPeer::onDisconnect(const std::uint8_t* data, std::size_t length) {
    if (length != kHandshakeBytes || !hasLinkMagic(data, length)) {
        refuse("disconnect notice of " + std::to_string(length) +
               " bytes or without the link magic");
        return;
    }
    forgetLink(false);
    ++counters_.disconnects;
    log(LogKind::Info, "disconnect from " + addressText(client_));
}

void LinkPeer::onAck(const std::uint8_t* data, std::size_t length, PeerClock::time_point now) {
    if (length != kHandshakeBytes || !hasLinkMagic(data, length)) {
        refuse("acknowledgement of " + std::to_string(length) + " bytes or without the link magic");
        return;
    }
    ++counters_.acksReceived;
    ackWaitUntil_.reset();
    flush(now);
}

void LinkPeer::sendHandshake(std::uint8_t type, std::size_t length) {
    std::uint8_t answer[kMaxPacketLength] = {};
    answer[0] = type;
    writeLe16(answer + 2, transmitSequence_);
    putLinkMagic(answer);
    sendNow(answer, length, DatagramKind::Handshake, false);
}

void LinkPeer::answerStranger(const std::uint8_t* data, std::size_t length, const PeerAddress& from,
                              std::uint8_t type, std::uint8_t reason) {
    const std::uint8_t kind = data[0];
    const bool sync =
        kind == LINK_SYNC_REQUEST && length == kHandshakeBytes && hasLinkMagic(data, length);
    if (!sync && !(kind == LINK_DATA_OUT && length >= kFragmentHeaderBytes)) return;
    sendStrangerAnswer(from, type, reason, readLe16(data + 2));
}

void LinkPeer::sendStrangerAnswer(const PeerAddress& to, std::uint8_t type, std::uint8_t reason,
                                  std::uint16_t echoedSequence) {
    std::uint8_t answer[kHandshakeBytes] = {};
    answer[0] = type;
    writeLe16(answer + 2, transmitSequence_);
    answer[kStrangerReasonOffset] = reason;
    writeLe16(answer + kStrangerEchoOffset, echoedSequence);
    putLinkMagic(answer);
    transport_.send(to, answer, sizeof answer, false);
}

bool LinkPeer::executedAlready(std::uint16_t sequence, std::uint8_t id) const {
    return std::any_of(executed_.begin(), executed_.end(), [&](const ExecutedRequest& request) {
        return request.sequence == sequence && request.id == id;
    });
}

void LinkPeer::forgetLink(bool keepOutbox) {
    connected_ = false;
    resetReceive();
    haveLastRequest_ = false;
    haveLastReply_ = false;
    idleRepeatAt_.reset();
    chatterAt_.reset();
    if (!keepOutbox) {
        outbox_.clear();
        ackWaitUntil_.reset();
    }
    debugger_.resetSession();
}

void LinkPeer::resetReceive() {
    mode_ = ReceiveMode::Idle;
    request_.clear();
    requestOverflow_ = false;
}

void LinkPeer::chatter(PeerClock::time_point now) {
    chatterAt_ = now + std::chrono::milliseconds(faults_.chatterMs);
    switch (chatterTurn_++ % 3) {
        case 0: {
            const std::uint8_t token = LINK_FLOW_TOKEN;
            sendNow(&token, 1, DatagramKind::Decoration, false);
            break;
        }
        case 1: {
            const std::vector<std::uint8_t> notification = notificationDatagram();
            sendNow(notification.data(), notification.size(), DatagramKind::Decoration, false);
            break;
        }
        default: {
            std::vector<std::uint8_t> stale;
            buildEnvelope(stale, toggle_, kStatusOk, 0, nullptr, 0);
            stale.insert(stale.begin(), {LINK_DATA_IN, kLastFragment, 0, 0});
            writeLe16(stale.data() + 2, static_cast<std::uint16_t>(transmitSequence_ - 0x1000));
            sendNow(stale.data(), stale.size(), DatagramKind::Decoration, false);
            break;
        }
    }
}

bool LinkPeer::silentNow() const {
    return faults_.silent || (faults_.silentAfter != 0 && requestsExecuted_ > faults_.silentAfter);
}

bool LinkPeer::fires(double probability, const char* fault, int messageId) {
    if (!injector_.happens(probability)) return false;
    if (options_.verbose) {
        log(LogKind::Request,
            std::string("fault ") + fault + " fired on " +
                (messageId < 0
                     ? std::string("a datagram")
                     : "the reply to message id " + hexByte(static_cast<std::uint8_t>(messageId))) +
                " after request " + std::to_string(requestsExecuted_));
    }
    return true;
}

void LinkPeer::log(LogKind kind, const std::string& line) const {
    if (kind == LogKind::Request && !options_.verbose) return;
    if (log_) log_(kind, line);
}

void LinkPeer::refuse(const std::string& why) {
    ++counters_.malformedDatagrams;
    log(LogKind::Refusal, why);
}

}  // namespace quorbit