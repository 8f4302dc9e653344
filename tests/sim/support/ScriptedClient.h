// SPDX-License-Identifier: Apache-2.0
// A small client of the emulator's UDP link for tests, written from the wire format alone: it
// fragments requests, waits for flow tokens where the real client would, and reassembles replies.
// Every receive has a time-out, so a misbehaving emulator fails a test instead of hanging it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/RequestBuilder.h"

namespace simtest {

struct Reply {
    std::uint8_t flags = 0;
    std::uint8_t status = 0;
    std::uint8_t id = 0;
    Bytes data;  // from offset 5 on
    bool received = false;
};

class ScriptedClient {
  public:
    explicit ScriptedClient(std::uint16_t peerPort, int packetLength = 1024);
    ~ScriptedClient();
    ScriptedClient(const ScriptedClient&) = delete;
    ScriptedClient& operator=(const ScriptedClient&) = delete;

    // Handshake: connect request of packetLength bytes; returns the answer's type (0 = none) and
    // keeps the accept's length as the packet length.
    std::uint8_t connect();
    // Sync request, (sync-again handled), sync confirm. True once synchronised.
    bool sync();
    bool open() { return connect() == 0x13 && sync(); }
    void disconnect();

    // Raw datagrams.
    bool sendDatagram(const Bytes& datagram);
    std::optional<Bytes> receiveDatagram(int timeoutMs);

    // One request message (offset 0 first, as built by the helpers below) in fragments, with the
    // flow-control waits. False when a token did not come.
    bool sendMessage(const Bytes& message);
    // Reassembles the next reply, skipping tokens and notifications (counted).
    Reply receiveReply(int timeoutMs = 2000);
    Reply call(const Bytes& message) { return sendMessage(message) ? receiveReply() : Reply{}; }

    RequestBuilder requests;  // builds the messages and numbers them

    Reply attach() { return call(requests.attach()); }
    Reply command(const std::string& line) { return call(requests.command(line)); }
    Reply rawShift(std::uint16_t options, std::uint32_t bits, const Bytes* tms, const Bytes* tdi,
                   bool tdo) {
        return call(requests.rawShift(options, bits, tms, tdi, tdo));
    }
    Reply release() { return call(requests.release()); }

    int packetLength() const { return packetLength_; }
    std::uint16_t transmitSequence() const { return transmitSequence_; }
    std::uint16_t receiveSequence() const { return receiveSequence_; }
    std::size_t tokensWaitedFor() const { return tokensWaitedFor_; }
    std::size_t tokensSkipped() const { return tokensSkipped_; }
    std::size_t notificationsSkipped() const { return notificationsSkipped_; }
    std::size_t replyFragments() const { return replyFragments_; }

  private:
    int socket_ = -1;
    std::uint16_t peerPort_ = 0;
    int packetLength_ = 1024;
    std::uint16_t transmitSequence_ = 1;
    std::uint16_t receiveSequence_ = 0;
    std::size_t tokensWaitedFor_ = 0;
    std::size_t tokensSkipped_ = 0;
    std::size_t notificationsSkipped_ = 0;
    std::size_t replyFragments_ = 0;
};

}  // namespace simtest
