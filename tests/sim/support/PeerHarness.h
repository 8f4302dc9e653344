// SPDX-License-Identifier: Apache-2.0
// Runs the emulator's link peer without sockets: datagrams from a fake client go in, what the
// peer sends is recorded, and time moves only when a test says so.
#pragma once

#include <chrono>
#include <vector>

#include "sim/EmulatedDebugger.h"
#include "sim/LinkPeer.h"
#include "support/RequestBuilder.h"

namespace simtest {

struct SentDatagram {
    Bytes bytes;
    bool fromSecondSocket = false;
};

class RecordingTransport final : public quorbit::PeerTransport {
  public:
    void send(const quorbit::PeerAddress& to, const std::uint8_t* data, std::size_t length,
              bool fromSecondSocket) override {
        destinations.push_back(to);
        sent.push_back({Bytes(data, data + length), fromSecondSocket});
    }
    std::vector<SentDatagram> sent;
    std::vector<quorbit::PeerAddress> destinations;
};

struct ParsedReply {
    std::uint8_t flags = 0;
    std::uint8_t status = 0;
    std::uint8_t id = 0;
    Bytes data;
    std::uint16_t firstSequence = 0;
    std::size_t fragments = 0;
    bool fromSecondSocket = false;
};

quorbit::SimOptions optionsWithFaults(const char* faults);

class PeerHarness {
  public:
    explicit PeerHarness(quorbit::SimOptions simOptions = {});

    void deliver(const Bytes& datagram);
    void deliverFrom(const quorbit::PeerAddress& from, const Bytes& datagram);
    void advance(std::chrono::milliseconds step);  // moves time and lets the peer act on it
    std::vector<SentDatagram> take();              // what was sent since the last take

    // Connect, sync and confirm; the handshake answers are taken away.
    void open();
    // The request as fragments numbered from transmitSequence (which is not advanced).
    std::vector<Bytes> fragments(const Bytes& message) const;
    // Delivers the fragments and advances transmitSequence; returns them for a retransmission.
    std::vector<Bytes> sendMessage(const Bytes& message);
    // Attach and "JTAG.PIN ENABLE", both answered; the answers are taken away.
    void attachAndEnable();

    quorbit::SimOptions options;
    quorbit::SimCounters counters;
    quorbit::EmulatedDebugger debugger;
    RecordingTransport transport;
    quorbit::LinkPeer peer;
    quorbit::PeerClock::time_point now;
    quorbit::PeerAddress client;
    RequestBuilder requests;
    std::uint16_t transmitSequence = 1;
    std::vector<std::string> log;
};

// The complete replies found in a list of sent datagrams, in order; tokens and notifications are
// skipped, and fragments are taken in the order sent.
std::vector<ParsedReply> repliesIn(const std::vector<SentDatagram>& sent);
bool isFlowToken(const SentDatagram& datagram);

}  // namespace simtest
