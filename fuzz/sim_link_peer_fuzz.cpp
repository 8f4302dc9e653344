// SPDX-License-Identifier: Apache-2.0
// quorbit-sim's end of the link: any datagram sequence, from the client or from a stranger, into
// the link peer with a fault plan that byte 0 picks. The emulator must survive every datagram and
// only ever send datagrams a client can take.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "FuzzInput.h"
#include "sim/EmulatedDebugger.h"
#include "sim/LinkPeer.h"

namespace {

using namespace quorbit;

class CheckingTransport : public PeerTransport {
  public:
    void send(const PeerAddress&, const std::uint8_t* data, std::size_t length, bool) override {
        if (data == nullptr || length == 0 || length > static_cast<std::size_t>(kMaxPacketLength)) {
            std::abort();
        }
        ++sent;
    }
    std::size_t sent = 0;
};

SimOptions optionsFor(uint8_t config) {
    SimOptions options;
    options.chain = defaultDemoChain();
    options.ackWaitMs = 5;
    options.rawShiftLogCapacity = 8;
    FaultPlan& faults = options.faults;
    if ((config & 0x01u) != 0) faults.duplicateReply = 1.0;
    if ((config & 0x02u) != 0) faults.busyFirst = 1.0;
    if ((config & 0x04u) != 0) faults.tokensBetween = 1.0;
    if ((config & 0x08u) != 0) faults.ackEvery = 2;
    if ((config & 0x10u) != 0) faults.restartAfter = 2;
    if ((config & 0x20u) != 0) faults.delayReplyMs = 5;
    if ((config & 0x40u) != 0) faults.repeatIdleMs = 3;
    if ((config & 0x80u) != 0) {
        faults.dropOut = 0.3;
        faults.staleFirst = 0.5;
        faults.spoof = 0.5;
        faults.sameToggleFirst = 0.5;
    }
    return options;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzinput::FuzzReader input(data, size);
    const SimOptions options = optionsFor(input.byte());
    EmulatedDebugger debugger(options.chain, options.rawShiftLogCapacity);
    CheckingTransport transport;
    SimCounters counters;
    LinkPeer peer(options, debugger, transport, counters, nullptr);

    const PeerAddress client{0x0100007Fu, 0x409Cu};
    const PeerAddress stranger{0x0100007Fu, 0x0900u};
    PeerClock::time_point now{};
    std::vector<uint8_t> datagram;
    bool fromStranger = false;
    while (input.record(datagram, fromStranger, 2 * kMaxPacketLength)) {
        now += std::chrono::milliseconds(1);
        peer.onDatagram(datagram.data(), datagram.size(), fromStranger ? stranger : client, now);
        peer.onTimer(now);
    }
    // Whatever is still pending goes out once its time has come.
    for (int round = 0; round < 4 && peer.nextDeadline(); ++round) {
        now = *peer.nextDeadline();
        peer.onTimer(now);
    }
    return 0;
}
