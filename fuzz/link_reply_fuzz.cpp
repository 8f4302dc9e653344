// SPDX-License-Identifier: Apache-2.0
// The client's reply reception and reassembly: datagram sequences from the peer fed through a fake
// socket layer into one remote call. Byte 0 picks the packet length, the call, the starting
// sequence number and whether acknowledgements fail to send; then come length-prefixed datagrams
// (top bit of the prefix: from another address than the peer's).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "remote/LinkWire.h"
#include "remote/RemoteLink.h"
#include "remote/RemoteLinkState.h"
#include "remote/RemoteLinkTesting.h"

namespace {

constexpr uint32_t kPeerIpv4 = 0x7F000001;
constexpr uint16_t kPeerPort = 20000;
constexpr LinkSocket kFakeSocket = 7;
constexpr int kPacketLengths[4] = {16, 64, 1024, 1472};
constexpr uint16_t kFirstSequences[2] = {0x0100, 0xFFFE};

struct Datagram {
    std::vector<uint8_t> bytes;
    bool fromPeer = true;
};

struct FakePeer {
    std::deque<Datagram> handshake;  // answers to connect and sync, served first
    std::deque<Datagram> script;     // the fuzz input's datagrams
    int packetLength = 1024;
    uint16_t firstSequence = 0x0100;
    bool acknowledgementsFail = false;
};

FakePeer gPeer;

Datagram handshakeAnswer(uint8_t type, size_t length) {
    Datagram answer;
    answer.bytes.assign(length, 0);
    answer.bytes[0] = type;
    storeLE16(answer.bytes.data() + 2, gPeer.firstSequence);
    std::memcpy(answer.bytes.data() + kLinkMagicOffset, kLinkMagic, kLinkMagicSize);
    return answer;
}

int fakeStartup() {
    return 0;
}
void fakeCleanup() {}
LinkSocket fakeOpen() {
    return kFakeSocket;
}
int fakeBind(LinkSocket, uint16_t) {
    return 0;
}
int fakeLocalPort(LinkSocket, uint16_t* port) {
    *port = 40000;
    return 0;
}
int fakeGetBufferSize(LinkSocket, LinkSocketBuffer, int* bytes) {
    *bytes = 65536;
    return 0;
}
int fakeSetBufferSize(LinkSocket, LinkSocketBuffer, int) {
    return 0;
}

int fakeSendTo(LinkSocket, const uint8_t* data, int length, const LinkAddress&) {
    if (length <= 0) return length;
    switch (data[0]) {
        case LINK_CONNECT_REQUEST:
            gPeer.handshake.push_back(
                handshakeAnswer(LINK_CONNECT_ACCEPT, static_cast<size_t>(gPeer.packetLength)));
            break;
        case LINK_SYNC_REQUEST:
            gPeer.handshake.push_back(handshakeAnswer(LINK_SYNC_REPLY, kLinkControlDatagramSize));
            break;
        case LINK_ACK:
            if (gPeer.acknowledgementsFail) return length - 1;
            break;
        case LINK_DATA_OUT:
            // An empty message is how the client asks for a reply again.
            if (length == static_cast<int>(kFragmentHeaderSize) && gPeer.acknowledgementsFail) {
                return 0;
            }
            break;
        default:
            break;
    }
    return length;
}

// A script that ran out fails the wait at once: a time-out would be waited for in full. The
// script answers the request, so nothing is there yet when the link looks before sending it.
int fakeWaitReadable(LinkSocket, int64_t timeoutMicros) {
    if (timeoutMicros == 0 && gPeer.handshake.empty()) return 0;
    return gPeer.handshake.empty() && gPeer.script.empty() ? -1 : 1;
}

int fakeReceiveFrom(LinkSocket, uint8_t* data, int capacity, LinkAddress* from) {
    std::deque<Datagram>& queue = gPeer.handshake.empty() ? gPeer.script : gPeer.handshake;
    if (queue.empty()) return -1;
    const Datagram datagram = queue.front();
    queue.pop_front();
    const int length = static_cast<int>(datagram.bytes.size());
    if (length > 0) {
        std::memcpy(data, datagram.bytes.data(),
                    static_cast<size_t>(length < capacity ? length : capacity));
    }
    *from = datagram.fromPeer ? LinkAddress{kPeerIpv4, kPeerPort} : LinkAddress{kPeerIpv4, 9};
    return length;
}

void fakeClose(LinkSocket) {}
int fakeResolve(const char*, uint32_t*) {
    return -1;
}
int fakeLastError() {
    return 0;
}

const LinkSocketOps kFakeOps = {
    fakeStartup,       fakeCleanup,       fakeOpen,      fakeBind,         fakeLocalPort,
    fakeGetBufferSize, fakeSetBufferSize, fakeSendTo,    fakeWaitReadable, fakeReceiveFrom,
    fakeClose,         fakeResolve,       fakeLastError, nullptr,          nullptr};

bool plausible(int result) {
    return (result >= 0 && result <= 255) || result == -1 || result == -2 || result == -3 ||
           result == -4 || result == -6;
}

// One remote call as the configuration picks it; its TDO buffer is exactly as long as asked for,
// so that a write past it is caught.
int remoteCall(unsigned call) {
    switch (call) {
        case 0:
            return KRV_Attach();
        case 1:
            return KRV_ExecuteCommand("JTAG.PIN ENABLE");
        case 2: {
            const std::vector<char> text(300, 'x');
            std::vector<char> command(text);
            command.push_back('\0');
            return KRV_ExecuteCommand(command.data());
        }
        case 3: {
            const uint8_t tdi[4] = {0x12, 0x34, 0x56, 0x78};
            std::vector<uint8_t> tdo(4);
            return KRV_TAPAccessShiftRaw(8, 32, nullptr, tdi, tdo.data());
        }
        case 4: {
            // A request long enough for flow control.
            const std::vector<uint8_t> tdi(5000, 0x5A);
            std::vector<uint8_t> tdo(5000);
            return KRV_TAPAccessShiftRaw(0, 40000, nullptr, tdi.data(), tdo.data());
        }
        case 5: {
            std::vector<uint8_t> tdo(16635);
            return KRV_TAPAccessRequest(16635 * 8, 0, -1, 1, nullptr, tdo.data());
        }
        case 6:
            return KRV_ReleaseTAP();
        default: {
            const int first = KRV_Attach();
            std::vector<uint8_t> tdo(1);
            const int second = KRV_TAPAccessShiftRaw(8, 3, nullptr, nullptr, tdo.data());
            return plausible(first) ? second : first;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzinput::FuzzReader input(data, size);
    const uint8_t config = input.byte();
    gPeer = FakePeer();
    gPeer.packetLength = kPacketLengths[config & 3u];
    gPeer.firstSequence = kFirstSequences[(config >> 6) & 1u];
    gPeer.acknowledgementsFail = (config & 0x20u) != 0;
    std::vector<uint8_t> bytes;
    bool fromOther = false;
    while (input.record(bytes, fromOther, 2 * kMaxPacketLength)) {
        gPeer.script.push_back(Datagram{bytes, !fromOther});
    }

    LinkSetSocketOpsForTest(&kFakeOps);
    LinkSetTimeoutsForTest(1000000, 1000000);  // never waited for: the fake fails when empty
    (void)KRV_SetConfigItem("NODE=", "127.0.0.1");
    (void)KRV_SetConfigItem("PORT=", "20000");
    (void)KRV_SetConfigItem("PACKLEN=", std::to_string(gPeer.packetLength).c_str());
    // Every input starts with message id 1, so that a checked-in reply keeps matching.
    gRemoteLink.messageId = 0;
    if (KRV_Connect() == 0) {
        const int result = remoteCall((config >> 2) & 7u);
        if (!plausible(result)) std::abort();
        if (KRV_NotificationCount() > 64) std::abort();
    }
    KRV_Disconnect();
    if (KRV_NotificationCount() != 0) std::abort();
    LinkSetSocketOpsForTest(nullptr);
    return 0;
}
