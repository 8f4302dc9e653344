// SPDX-License-Identifier: Apache-2.0
// The floor: a minimal client and peer that exchange a recorded datagram sequence over loopback
// with nothing but sendto and recvfrom. This is what the two of them share: how the client hands
// the peer a script and the marks that tell control datagrams from scripted ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/WireRecorder.h"

namespace krvbench {

// First byte of the datagram that loads a script, and the peer's one-byte answer.
constexpr uint8_t kFloorLoadMark = 'S';
constexpr uint8_t kFloorReadyMark = 'K';
// First byte of the datagram that loads a replay for the library itself (see ReplayScript).
constexpr uint8_t kFloorReplayMark = 'R';
// First byte of every scripted datagram from the client (a request fragment's type).
constexpr uint8_t kFloorClientMark = 0x11;
// First byte of every scripted datagram from the peer (a reply fragment's type).
constexpr uint8_t kFloorPeerMark = 0x01;
// Scripted datagrams are never longer than the link's largest packet.
constexpr int kFloorMaxDatagram = 1472;
constexpr size_t kFloorMaxSteps = 8192;

// How both ends wait for a datagram. Blocking is the floor itself. Polled copies the waits of the
// real ends, to tell their cost from the library's own work: the client polls before every
// receive (as the link waits with a time-out), the peer polls and then reads until the socket
// is drained (as quorbit-sim's loop does).
enum class FloorWaits : uint8_t { Blocking = 0, Polled = 1 };

// "S", the waits, the step count (16 bits), then each size as a signed 16-bit number;
// little-endian.
std::vector<uint8_t> encodeFloorScript(const WireScript& script, FloorWaits waits);
// False for a datagram that is not a well-formed script.
bool decodeFloorScript(const uint8_t* datagram, size_t length, WireScript& script,
                       FloorWaits& waits);

// A replay for the library itself as the client: the peer sends the recorded heads of its
// datagrams with what changes from call to call filled in (its sequence numbers, the message id
// of the request being answered, an alternating toggle bit), so that the library accepts them.
struct ReplayScript {
    WireScript script;
    std::vector<uint8_t> peerHeads;  // kRecordedHeadBytes per datagram from the peer
    uint16_t firstSequence = 0;      // of the peer's next data fragment
    uint8_t lastToggle = 0;          // of the reply the library accepted last
};

// "R", the last toggle, the step count and the first sequence number (16 bits each), the sizes
// as above, then the heads; little-endian. Empty when it does not fit one datagram.
std::vector<uint8_t> encodeReplayScript(const ReplayScript& replay);
bool decodeReplayScript(const uint8_t* datagram, size_t length, ReplayScript& replay);

}  // namespace krvbench
