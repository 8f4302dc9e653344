// SPDX-License-Identifier: Apache-2.0
// quorbit-sim run as a process of its own, as a user runs it: the honest two-process set-up.
#pragma once

#include <cstdint>
#include <string>

#include "support/ChildProcess.h"

namespace krvbench {

class SimProcess {
  public:
    // An ephemeral UDP port on 127.0.0.1 and the demo chain.
    [[nodiscard]] bool start(int packetLength, std::string& error);
    uint16_t udpPort() const { return udpPort_; }
    double cpuSeconds() const { return child_.cpuSeconds(); }
    int lastCpu() const { return child_.lastCpu(); }

  private:
    ChildProcess child_;
    uint16_t udpPort_ = 0;
};

// The port at the end of "address:port"; -1 when there is none.
int portAfterColon(const std::string& endpoint);

}  // namespace krvbench
