// SPDX-License-Identifier: Apache-2.0
// The datagrams one host call puts on the link, in order, recorded through the link's socket
// layer. The floor replays exactly this sequence without any of the library's logic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace krvbench {

// Datagram sizes in the order they went: positive from the client to the peer, negative from the
// peer to the client (flow tokens and reply fragments).
using WireScript = std::vector<int>;

// Fragment header (4 bytes) and reply envelope head (flags, 2 bytes, status, message id): what a
// replaying peer needs of each of its datagrams for the library to accept the replies.
constexpr size_t kRecordedHeadBytes = 9;

struct WireRecording {
    WireScript script;
    // kRecordedHeadBytes for each datagram from the peer, in order (zero-padded when shorter).
    std::vector<uint8_t> peerHeads;
};

// Runs `call` once with the link's sockets recording and returns what crossed the wire.
WireRecording recordWire(const std::function<void()>& call);

}  // namespace krvbench
