// SPDX-License-Identifier: Apache-2.0
#include "support/WireRecorder.h"

#include <algorithm>

#include "remote/RemoteLinkTesting.h"
#include "remote/SocketLayer.h"

namespace krvbench {
namespace {

// The socket layer takes plain function pointers, so the recording lives here.
WireRecording* gRecording = nullptr;

int recordingSendTo(LinkSocket socket, const uint8_t* data, int length, const LinkAddress& to) {
    const int sent = kLinkSystemSocketOps.sendTo(socket, data, length, to);
    if (gRecording != nullptr && sent > 0) gRecording->script.push_back(sent);
    return sent;
}

int recordingReceiveFrom(LinkSocket socket, uint8_t* data, int capacity, LinkAddress* from) {
    const int received = kLinkSystemSocketOps.receiveFrom(socket, data, capacity, from);
    if (gRecording != nullptr && received > 0) {
        gRecording->script.push_back(-received);
        const size_t kept = std::min(
            {static_cast<size_t>(received), static_cast<size_t>(capacity), kRecordedHeadBytes});
        gRecording->peerHeads.insert(gRecording->peerHeads.end(), data, data + kept);
        gRecording->peerHeads.resize(gRecording->peerHeads.size() + kRecordedHeadBytes - kept);
    }
    return received;
}

LinkSocketOps recordingOps() {
    LinkSocketOps ops = kLinkSystemSocketOps;
    ops.sendTo = recordingSendTo;
    ops.receiveFrom = recordingReceiveFrom;
    return ops;
}

}  // namespace

WireRecording recordWire(const std::function<void()>& call) {
    static const LinkSocketOps ops = recordingOps();
    WireRecording recording;
    gRecording = &recording;
    LinkSetSocketOpsForTest(&ops);
    call();
    LinkSetSocketOpsForTest(nullptr);
    gRecording = nullptr;
    return recording;
}

}  // namespace krvbench
