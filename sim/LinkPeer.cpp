// SPDX-License-Identifier: Apache-2.0
#include "sim/LinkPeer.h"

#include <algorithm>
#include <utility>

#include "sim/HexText.h"
#include "sim/PeerWire.h"

namespace quorbit {
namespace {

constexpr std::uint8_t kRefusalDetail[4] = {0x01, 0x00, 0x00, 0x00};  // "busy with another client"
constexpr std::size_t kNotificationBytes = 8;
constexpr std::size_t kSpareBuffers = 32;  // a whole reply's fragments
// A datagram to be swapped with the next one goes anyway when none follows within this time.
constexpr auto kSwapHold = std::chrono::milliseconds(20);
// Requests remembered as executed: far more than a client can have in flight.
constexpr std::size_t kExecutedMemory = 64;

std::string addressText(const PeerAddress& address) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&address.address);
    const auto* port = reinterpret_cast<const std::uint8_t*>(&address.port);
    return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
           std::to_string(bytes[2]) + "." + std::to_string(bytes[3]) + ":" +
           std::to_string((port[0] << 8) | port[1]);
}

bool isKnownRequestCode(std::uint8_t code) {
    return code == REQ_ATTACH || code == REQ_COMMAND || code == REQ_TAP;
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

// ---- The network's faults ---------------------------------------------------------------------

bool LinkPeer::shapesInbound() const {
    return faults_.duplicateIn > 0.0 || faults_.reorderIn > 0.0 || faults_.delayIn.highMs != 0;
}

bool LinkPeer::shapesOutbound() const {
    return faults_.duplicateOut > 0.0 || faults_.reorderOut > 0.0 || faults_.delayOut.highMs != 0;
}

void LinkPeer::putInFlight(std::deque<InFlight>& queue, const InFlight& datagram, double duplicate,
                           double reorder, const DelayRange& delay, bool inbound,
                           PeerClock::time_point now) {
    const bool twice = fires(duplicate, inbound ? "dup-in" : "dup-out");
    if (twice) ++(inbound ? counters_.duplicatedIn : counters_.duplicatedOut);
    for (int copy = twice ? 2 : 1; copy > 0; --copy) {
        InFlight item = datagram;
        item.due = now + std::chrono::milliseconds(injector_.between(delay.lowMs, delay.highMs));
        // A datagram waiting to be swapped goes right behind this one.
        for (InFlight& waiting : queue) {
            if (!waiting.swapping) continue;
            waiting.swapping = false;
            waiting.due = std::max(waiting.due, item.due);
        }
        if (fires(reorder, inbound ? "reorder-in" : "reorder-out")) {
            ++counters_.reordered;
            item.swapping = true;
            item.due = std::max(item.due, now + kSwapHold);
        }
        queue.push_back(std::move(item));
    }
    std::stable_sort(queue.begin(), queue.end(),
                     [](const InFlight& a, const InFlight& b) { return a.due < b.due; });
}

void LinkPeer::releaseOutbound(PeerClock::time_point now) {
    while (!outbound_.empty() && outbound_.front().due <= now) {
        const InFlight item = std::move(outbound_.front());
        outbound_.pop_front();
        transport_.send(client_, item.bytes.data(), item.bytes.size(), item.fromSecondSocket);
    }
}

void LinkPeer::releaseInbound(PeerClock::time_point now) {
    while (!inbound_.empty() && inbound_.front().due <= now) {
        const InFlight item = std::move(inbound_.front());
        inbound_.pop_front();
        deliver(item.bytes.data(), item.bytes.size(), item.from, now);
    }
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

// ---- Request reception ------------------------------------------------------------------------

void LinkPeer::onDataFragment(const std::uint8_t* data, std::size_t length,
                              PeerClock::time_point now) {
    if (length < kFragmentHeaderBytes || length > static_cast<std::size_t>(kMaxPacketLength)) {
        refuse("data fragment of " + std::to_string(length) + " bytes");
        return;
    }
    if (data[1] > 1) {
        refuse("data fragment with continuation byte " + hexByte(data[1]));
        return;
    }
    const bool last = data[1] == 0;
    const std::uint16_t sequence = readLe16(data + 2);
    const std::uint8_t* payload = data + kFragmentHeaderBytes;
    const std::size_t payloadLength = length - kFragmentHeaderBytes;
    ++counters_.fragmentsIn;
    idleRepeatAt_.reset();
    // Every fragment but the last of a message is exactly the client's packet length long.
    if (!last) clientPacketLength_ = length;

    bool counts = true;  // whether the client counted this fragment (and may wait for a token)
    switch (mode_) {
        case ReceiveMode::Idle:
            counts = false;
            break;
        case ReceiveMode::Assembling:
            if (sequence == expected_) {
                if (request_.size() > kRequestIdOffset &&
                    looksLikeRequestStart(payload, payloadLength, last) &&
                    payloadLength > kRequestIdOffset &&
                    payload[kRequestIdOffset] ==
                        static_cast<std::uint8_t>(request_[kRequestIdOffset] + 1)) {
                    // The client gave up on the request (a flow token it waited for got lost)
                    // and started the next one with the same number.
                    refuse("request " + std::to_string(messageStart_) + " abandoned by the client");
                    startMessage(sequence);
                }
                appendFragment(sequence, payload, payloadLength);
            } else if (sequence == messageStart_) {
                startMessage(sequence);
                appendFragment(sequence, payload, payloadLength);
            } else if (sequenceDistance(messageStart_, sequence) < 0 ||
                       (sequenceDistance(messageStart_, sequence) > 0 &&
                        sequenceDistance(sequence, expected_) > 0)) {
                return;  // a copy of a fragment already taken, or of an earlier request
            } else {
                refuse("request fragment " + std::to_string(sequence) + " while " +
                       std::to_string(expected_) +
                       " was expected; skipping the rest of the request");
                mode_ = ReceiveMode::Skipping;
                expected_ = static_cast<std::uint16_t>(sequence + 1);
            }
            break;
        case ReceiveMode::Skipping:
            if (sequence == messageStart_ || looksLikeRequestStart(payload, payloadLength, last)) {
                startMessage(sequence);
                appendFragment(sequence, payload, payloadLength);
            } else {
                expected_ = static_cast<std::uint16_t>(sequence + 1);
            }
            break;
        case ReceiveMode::Retransmission:
            if (sequence == retransmitNext_) {
                retransmitNext_ = static_cast<std::uint16_t>(sequence + 1);
            } else {
                mode_ = ReceiveMode::Idle;
                counts = false;
            }
            break;
    }
    if (mode_ == ReceiveMode::Idle && !counts) {
        dispatchIdle(sequence, payload, payloadLength, last);
        if (mode_ == ReceiveMode::Idle) return;  // a stray copy, not part of any message
    }
    sendFlowTokenIfDue(sequence, length);
    if (!last) return;
    switch (mode_) {
        case ReceiveMode::Assembling:
            completeMessage(now);
            break;
        case ReceiveMode::Skipping:
            finishSkipped(now);
            break;
        case ReceiveMode::Retransmission:
            mode_ = ReceiveMode::Idle;
            repeatLastReply(now, "retransmitted request");
            break;
        case ReceiveMode::Idle:
            break;
    }
}

void LinkPeer::dispatchIdle(std::uint16_t sequence, const std::uint8_t* payload,
                            std::size_t payloadLength, bool last) {
    if (sequence == expected_) {
        startMessage(sequence);
        appendFragment(sequence, payload, payloadLength);
        return;
    }
    if (haveLastRequest_ && sequence == lastRequestStart_ && faults_.reexecute) {
        ++counters_.retransmittedRequests;
        log(LogKind::Info,
            "request " + std::to_string(sequence) + " retransmitted; carried out again");
        startMessage(sequence);
        appendFragment(sequence, payload, payloadLength);
        return;
    }
    if (haveLastRequest_ && sequence == lastRequestStart_) {
        mode_ = ReceiveMode::Retransmission;
        messageStart_ = sequence;
        retransmitNext_ = static_cast<std::uint16_t>(sequence + 1);
        ++counters_.retransmittedRequests;
        log(LogKind::Info, "request " + std::to_string(sequence) + " retransmitted");
        return;
    }
    // A copy the network delayed of a request older than the last one executed: executing it
    // again would move the TAP behind the client's back.
    if (haveLastRequest_ && sequenceDistance(lastRequestStart_, sequence) < 0) {
        log(LogKind::Info,
            "late copy of request fragment " + std::to_string(sequence) + " ignored");
        return;
    }
    if (looksLikeRequestStart(payload, payloadLength, last)) {
        log(LogKind::Info, "client sequence jumps from " + std::to_string(expected_) + " to " +
                               std::to_string(sequence) + "; following it");
        startMessage(sequence);
        appendFragment(sequence, payload, payloadLength);
        return;
    }
    if (haveLastRequest_ && sequenceDistance(lastRequestStart_, sequence) > 0 &&
        sequenceDistance(sequence, expected_) > 0) {
        return;  // a late copy of a fragment of the last request
    }
    refuse("request fragment " + std::to_string(sequence) + " while " + std::to_string(expected_) +
           " was expected; skipping to the end of the request");
    mode_ = ReceiveMode::Skipping;
    messageStart_ = expected_;  // best guess: the fragments from here on were lost
    expected_ = static_cast<std::uint16_t>(sequence + 1);
}

void LinkPeer::startMessage(std::uint16_t sequence) {
    mode_ = ReceiveMode::Assembling;
    messageStart_ = sequence;
    request_.clear();
    requestOverflow_ = false;
}

void LinkPeer::appendFragment(std::uint16_t sequence, const std::uint8_t* payload,
                              std::size_t length) {
    if (request_.size() + length > kMaxRequestBytes) {
        requestOverflow_ = true;
    } else {
        request_.insert(request_.end(), payload, payload + length);
    }
    expected_ = static_cast<std::uint16_t>(sequence + 1);
}

bool LinkPeer::looksLikeRequestStart(const std::uint8_t* payload, std::size_t length,
                                     bool last) const {
    if (length == 0) return last;  // an empty message
    if (length <= kRequestIdOffset) return false;
    for (std::size_t i = 0; i < kRequestShortLengthOffset; ++i) {
        if (payload[i] != 0) return false;
    }
    return isKnownRequestCode(payload[kRequestCodeOffset]);
}

void LinkPeer::sendFlowTokenIfDue(std::uint16_t sequence, std::size_t datagramLength) {
    // Mirror of the client's rule: it has sent `index` full fragments before this one.
    const int index = std::max(0, sequenceDistance(messageStart_, sequence));
    const std::size_t packetLength = clientPacketLength_ != 0
                                         ? clientPacketLength_
                                         : static_cast<std::size_t>(options_.packetLength);
    const std::size_t sent = static_cast<std::size_t>(index) * packetLength + datagramLength;
    if (sent + packetLength <= kFlowWindowBytes) return;
    const std::uint8_t token = LINK_FLOW_TOKEN;
    sendNow(&token, 1, DatagramKind::FlowToken, false);
}

void LinkPeer::completeMessage(PeerClock::time_point now) {
    mode_ = ReceiveMode::Idle;
    if (request_.empty() && !requestOverflow_) {
        ++counters_.emptyMessages;
        log(LogKind::Request, "empty message " + std::to_string(messageStart_) + " (no reply)");
        return;
    }
    std::uint8_t id = 0;
    (void)peekMessageId(request_.data(), request_.size(), id);
    // A stale copy, perhaps behind a stale sync that took the sequence numbers back: a front end
    // carries a request out once, or the chain moves behind the client's back.
    if (!requestOverflow_ && !faults_.reexecute && executedAlready(messageStart_, id)) {
        log(LogKind::Info, "request " + std::to_string(messageStart_) + " id " + hexByte(id) +
                               " was executed already; not again");
        return;
    }
    haveLastRequest_ = true;
    lastRequestStart_ = messageStart_;
    lastRequestFragments_ = static_cast<std::uint16_t>(expected_ - messageStart_);
    executed_.push_back({messageStart_, id});
    if (executed_.size() > kExecutedMemory) executed_.pop_front();
    ++counters_.requests;
    if (faults_.chatterMs != 0) {
        // A front end that keeps talking but never answers: the request is not executed.
        ++requestsExecuted_;
        chatterAt_ = now + std::chrono::milliseconds(faults_.chatterMs);
        log(LogKind::Info, "request left unanswered on purpose; chattering instead");
        return;
    }
    ++requestsExecuted_;
    RequestOutcome outcome;
    if (requestOverflow_) {
        replyData_.clear();
        outcome = {kStatusMalformed,
                   "request longer than " + std::to_string(kMaxRequestBytes) + " bytes refused"};
    } else {
        outcome = debugger_.execute(request_.data(), request_.size(), replyData_);
    }
    const bool refused = outcome.status == kStatusMalformed ||
                         outcome.status == kStatusBadShiftBlock ||
                         outcome.status == kStatusUnknownRequest;
    if (refused || options_.verbose) {
        log(refused ? LogKind::Refusal : LogKind::Request,
            "request " + std::to_string(requestsExecuted_) + " id " + hexByte(id) + ": " +
                outcome.description + " -> status " + std::to_string(outcome.status));
    }
    sendReply(outcome.status, id, replyData_, now);
    if (faults_.restartAfter != 0 && !restartDone_ && requestsExecuted_ >= faults_.restartAfter) {
        restartDone_ = true;
        forgetLink(true);
        log(LogKind::Info, "restart on purpose: link state forgotten");
    }
}

void LinkPeer::finishSkipped(PeerClock::time_point now) {
    mode_ = ReceiveMode::Idle;
    refuse("incomplete request dropped");
    repeatLastReply(now, "to have the broken request sent again");
}

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
