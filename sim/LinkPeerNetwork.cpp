// SPDX-License-Identifier: Apache-2.0
// The link peer's model of the network between it and the client: copies, swaps and delays of
// datagrams on their way in and out, as the fault plan draws them.
#include <algorithm>
#include <utility>

#include "sim/HexText.h"
#include "sim/LinkPeer.h"
#include "sim/PeerWire.h"

namespace quorbit {
namespace {

// A datagram to be swapped with the next one goes anyway when none follows within this time.
constexpr auto kSwapHold = std::chrono::milliseconds(20);

}  // namespace

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

}  // namespace quorbit
