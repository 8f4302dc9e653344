#include "support/WireRecorder.h"

#include "remote/RemoteLinkTesting.h"
#include "remote/SocketLayer.h"

namespace krvbench {
namespace {

// The socket layer takes plain function pointers, so the recording lives here.
WireScript* gRecording = nullptr;

int recordingSendTo(LinkSocket socket, const uint8_t* data, int length, const LinkAddress& to) {
    const int sent = kLinkSystemSocketOps.sendTo(socket, data, length, to);
    if (gRecording != nullptr && sent > 0) gRecording->push_back(sent);
    return sent;
}

int recordingReceiveFrom(LinkSocket socket, uint8_t* data, int capacity, LinkAddress* from) {
    const int received = kLinkSystemSocketOps.receiveFrom(socket, data, capacity, from);
    if (gRecording != nullptr && received > 0) gRecording->push_back(-received);
    return received;
}

LinkSocketOps recordingOps() {
    LinkSocketOps ops = kLinkSystemSocketOps;
    ops.sendTo = recordingSendTo;
    ops.receiveFrom = recordingReceiveFrom;
    return ops;
}

}  // namespace

WireScript recordWire(const std::function<void()>& call) {
    static const LinkSocketOps ops = recordingOps();
    WireScript script;
    gRecording = &script;
    LinkSetSocketOpsForTest(&ops);
    call();
    LinkSetSocketOpsForTest(nullptr);
    gRecording = nullptr;
    return script;
}

}  // namespace krvbench
