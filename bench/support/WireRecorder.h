// The datagrams one host call puts on the link, in order, recorded through the link's socket
// layer. The floor replays exactly this sequence without any of the library's logic.
#pragma once

#include <functional>
#include <vector>

namespace krvbench {

// Datagram sizes in the order they went: positive from the client to the peer, negative from the
// peer to the client (flow tokens and reply fragments).
using WireScript = std::vector<int>;

// Runs `call` once with the link's sockets recording and returns what crossed the wire.
WireScript recordWire(const std::function<void()>& call);

}  // namespace krvbench
