// SPDX-License-Identifier: Apache-2.0
// The client half of the floor: replays a recorded datagram sequence against the floor peer
// process with plain blocking sendto and recvfrom, and nothing else.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/FloorScript.h"
#include "support/WireRecorder.h"

namespace krvbench {

class FloorClient {
  public:
    ~FloorClient();
    // Starts the peer process (once) and hands it the script.
    [[nodiscard]] bool load(const WireScript& script, FloorWaits waits, std::string& error);
    // Hands the peer a replay for the library itself, which then sends to peerPort().
    [[nodiscard]] bool loadReplay(const ReplayScript& replay, std::string& error);
    uint16_t peerPort() const { return ntohs(peerAddress_.sin_port); }
    // One pass of the loaded script; false when a datagram does not come or has the wrong size.
    [[nodiscard]] bool run();
    // CPU time used so far by the peer process.
    double peerCpuSeconds() const { return peer_.cpuSeconds(); }
    int peerLastCpu() const { return peer_.lastCpu(); }

  private:
    bool startPeer(std::string& error);
    bool handOver(const std::vector<uint8_t>& encoded, std::string& error);

    ChildProcess peer_;
    int socket_ = -1;
    sockaddr_in peerAddress_{};
    WireScript script_;
    FloorWaits waits_ = FloorWaits::Blocking;
    uint8_t sendBuffer_[2048] = {};
    uint8_t receiveBuffer_[2048] = {};
};

FloorClient& floorClient();

}  // namespace krvbench
