// SPDX-License-Identifier: Apache-2.0
// The link peer's request reception: fragments followed by sequence number, flow tokens where the
// client waits for them, retransmitted requests answered from memory, and execution.
#include <algorithm>
#include <utility>

#include "sim/HexText.h"
#include "sim/LinkPeer.h"
#include "sim/PeerWire.h"

namespace quorbit {
namespace {

// Requests remembered as executed: far more than a client can have in flight.
constexpr std::size_t kExecutedMemory = 64;

bool isKnownRequestCode(std::uint8_t code) {
    return code == REQ_ATTACH || code == REQ_COMMAND || code == REQ_TAP;
}

}  // namespace

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

}  // namespace quorbit
