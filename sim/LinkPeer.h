// SPDX-License-Identifier: Apache-2.0
// The debugger's end of the UDP link, without sockets: datagrams and the time come in, datagrams
// go out through a PeerTransport. It answers the handshake, reassembles request fragments, sends
// flow tokens exactly where the client waits for them, executes requests on the EmulatedDebugger,
// fragments replies and applies the fault plan.
//
// Sequence policy (the client's numbers are authoritative):
//  - a fragment with the expected number continues (or starts) a request;
//  - the first fragment of the last executed request again means the client retransmits it: the
//    request is not executed twice, the last reply is repeated byte for byte instead;
//  - a new request whose number jumps (a request was lost) is followed;
//  - a gap inside a request makes the rest of it useless: it is consumed (with its flow tokens)
//    and answered by repeating the last reply, which makes the client retransmit it whole.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/EmulatedDebugger.h"
#include "sim/FaultInjector.h"
#include "sim/PeerWire.h"  // datagram limits that the transport contract below refers to
#include "sim/QuorbitSim.h"

namespace quorbit {

using PeerClock = std::chrono::steady_clock;

// An IPv4 endpoint, address and port in network byte order as the socket layer gives them.
struct PeerAddress {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    bool operator==(const PeerAddress& other) const {
        return address == other.address && port == other.port;
    }
    bool operator!=(const PeerAddress& other) const { return !(*this == other); }
};

class PeerTransport {
  public:
    virtual ~PeerTransport() = default;
    // Datagrams are 1 to kMaxPacketLength bytes. fromSecondSocket: send from the emulator's other
    // socket (another source port).
    virtual void send(const PeerAddress& to, const std::uint8_t* data, std::size_t length,
                      bool fromSecondSocket) = 0;
};

using PeerLog = std::function<void(LogKind, const std::string&)>;

class LinkPeer {
  public:
    LinkPeer(const SimOptions& options, EmulatedDebugger& debugger, PeerTransport& transport,
             SimCounters& counters, PeerLog log);

    void onDatagram(const std::uint8_t* data, std::size_t length, const PeerAddress& from,
                    PeerClock::time_point now);
    // Sends what has come due (delayed replies, the rest of a reply after an acknowledgement
    // wait, an idle repeat).
    void onTimer(PeerClock::time_point now);
    // When onTimer next has something to do; empty when nothing is pending.
    std::optional<PeerClock::time_point> nextDeadline() const;

    bool connected() const { return connected_; }

  private:
    enum class DatagramKind { Handshake, FlowToken, Fragment, Decoration };
    enum class ReceiveMode { Idle, Assembling, Skipping, Retransmission };

    struct Pending {
        PeerClock::time_point due;
        std::vector<std::uint8_t> bytes;
        DatagramKind kind = DatagramKind::Fragment;
        bool fromSecondSocket = false;
        bool waitsForAck = false;
        bool endsReply = false;  // the last fragment of a fresh reply: starts the idle timer
    };

    // The network's faults: copies, swaps and delays of datagrams on their way in and out.
    struct InFlight {
        PeerClock::time_point due;
        std::vector<std::uint8_t> bytes;
        PeerAddress from;               // on the way in
        bool fromSecondSocket = false;  // on the way out
        bool swapping = false;          // waits for the next datagram to pass it
    };
    void deliver(const std::uint8_t* data, std::size_t length, const PeerAddress& from,
                 PeerClock::time_point now);
    void putInFlight(std::deque<InFlight>& queue, const InFlight& datagram, double duplicate,
                     double reorder, const DelayRange& delay, bool inbound,
                     PeerClock::time_point now);
    void releaseOutbound(PeerClock::time_point now);
    void releaseInbound(PeerClock::time_point now);
    bool shapesInbound() const;
    bool shapesOutbound() const;

    // Handshake and link control.
    void onConnect(const std::uint8_t* data, std::size_t length, const PeerAddress& from,
                   PeerClock::time_point now);
    void onSyncRequest(const std::uint8_t* data, std::size_t length);
    void onSyncConfirm(const std::uint8_t* data, std::size_t length);
    void onDisconnect(const std::uint8_t* data, std::size_t length);
    void onAck(const std::uint8_t* data, std::size_t length, PeerClock::time_point now);
    void sendHandshake(std::uint8_t type, std::size_t length);
    // Tells a sender of a sync request or request fragment that it has no link here.
    void answerStranger(const std::uint8_t* data, std::size_t length, const PeerAddress& from,
                        std::uint8_t type, std::uint8_t reason);
    void sendStrangerAnswer(const PeerAddress& to, std::uint8_t type, std::uint8_t reason,
                            std::uint16_t echoedSequence);
    // Whether the request that starts at `sequence` with `id` was executed on this link already
    // (kept through syncs: a stale copy after a sync must not run again).
    [[nodiscard]] bool executedAlready(std::uint16_t sequence, std::uint8_t id) const;
    void forgetLink(bool keepOutbox);  // keepOutbox: replies already on their way still go out
    void resetReceive();

    // Request reception.
    void onDataFragment(const std::uint8_t* data, std::size_t length, PeerClock::time_point now);
    void dispatchIdle(std::uint16_t sequence, const std::uint8_t* payload,
                      std::size_t payloadLength, bool last);
    void startMessage(std::uint16_t sequence);
    void appendFragment(std::uint16_t sequence, const std::uint8_t* payload, std::size_t length);
    bool looksLikeRequestStart(const std::uint8_t* payload, std::size_t length, bool last) const;
    void sendFlowTokenIfDue(std::uint16_t sequence, std::size_t datagramLength);
    void completeMessage(PeerClock::time_point now);
    void finishSkipped(PeerClock::time_point now);

    // Replies.
    void sendReply(std::uint8_t status, std::uint8_t id, const std::vector<std::uint8_t>& data,
                   PeerClock::time_point now);
    void buildEnvelope(std::vector<std::uint8_t>& message, bool toggle, std::uint8_t status,
                       std::uint8_t id, const std::uint8_t* data, std::size_t dataLength) const;
    bool plainReplyNow() const;
    // The data bytes one fragment carries, and how many fragments a message takes (at least one).
    [[nodiscard]] std::size_t fragmentDataBytes() const;
    [[nodiscard]] std::size_t fragmentCount(std::size_t messageBytes) const;
    std::uint16_t sendMessageNow(const std::vector<std::uint8_t>& message,
                                 std::uint16_t firstSequence);
    std::uint16_t queueMessage(const std::vector<std::uint8_t>& message,
                               std::uint16_t firstSequence, PeerClock::time_point due,
                               bool fromSecondSocket, bool decorateBetween, bool freshReply);
    void queueDecoration(std::vector<std::uint8_t> bytes, PeerClock::time_point due);
    std::vector<std::uint8_t> notificationDatagram();
    void repeatLastReply(PeerClock::time_point now, const char* why);
    void flush(PeerClock::time_point now);
    void sendNow(const std::uint8_t* data, std::size_t length, DatagramKind kind,
                 bool fromSecondSocket);
    bool silentNow() const;
    void chatter(PeerClock::time_point now);
    void log(LogKind kind, const std::string& line) const;
    // A draw of the fault injector that, when it fires, says so in the verbose log.
    // messageId < 0: the fault hits a datagram, not a reply.
    bool fires(double probability, const char* fault, int messageId = -1);
    void refuse(const std::string& why);

    const SimOptions& options_;
    const FaultPlan& faults_;
    EmulatedDebugger& debugger_;
    PeerTransport& transport_;
    SimCounters& counters_;
    PeerLog log_;
    FaultInjector injector_;

    // Link.
    bool connected_ = false;
    PeerAddress client_;
    PeerClock::time_point lastHeard_{};  // the last datagram of the link's holder
    bool syncAgainPending_ = false;
    std::uint16_t transmitSequence_ = 0x2000;  // far from the client's numbers, to expose mix-ups
    bool toggle_ = false;
    // Whether the client has accepted a reply since it connected or synchronised (its toggle is
    // only known then; before that it takes any toggle, and a repetition would not look like one).
    bool clientToggleKnown_ = false;
    std::uint32_t notificationCount_ = 0;

    // Reception.
    ReceiveMode mode_ = ReceiveMode::Idle;
    std::uint16_t expected_ = 0;
    std::uint16_t messageStart_ = 0;
    std::size_t clientPacketLength_ = 0;
    std::vector<std::uint8_t> request_;
    bool requestOverflow_ = false;
    bool haveLastRequest_ = false;
    std::uint16_t lastRequestStart_ = 0;
    std::uint16_t lastRequestFragments_ = 0;
    std::uint16_t retransmitNext_ = 0;

    // Sending.
    std::vector<std::uint8_t> replyData_;
    std::vector<std::uint8_t> lastReply_;
    bool haveLastReply_ = false;
    std::uint16_t lastReplyFirstSequence_ = 0;
    std::deque<Pending> outbox_;
    std::vector<std::uint8_t> fragment_;  // the datagram being sent on the plain reply path
    // Byte buffers of datagrams already sent, reused for the next ones: no allocation per fragment.
    std::vector<std::vector<std::uint8_t>> spareBytes_;
    std::optional<PeerClock::time_point> ackWaitUntil_;
    std::optional<PeerClock::time_point> idleRepeatAt_;
    std::optional<PeerClock::time_point> chatterAt_;
    unsigned chatterTurn_ = 0;

    std::deque<InFlight> inbound_;
    std::deque<InFlight> outbound_;

    // The requests executed on this link, newest last, by first sequence number and message id.
    struct ExecutedRequest {
        std::uint16_t sequence = 0;
        std::uint8_t id = 0;
    };
    std::deque<ExecutedRequest> executed_;

    // Faults that count requests.
    std::uint64_t requestsExecuted_ = 0;
    bool restartDone_ = false;
};

}  // namespace quorbit
