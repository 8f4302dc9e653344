// SPDX-License-Identifier: Apache-2.0
// The plug-in as a host drives it: a QXCsePlugin opened against a quorbit-sim process, locked,
// its chain scanned and every IR length set, so that chain- and device-level calls can follow.
// The link is process-wide, so one session is open at a time; asking for another packet length
// or shift mode closes the open one. The emulator processes stay up until the benchmarks end.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "framework/CsePlugin.h"
#include "support/HostCall.h"
#include "support/SimProcess.h"

namespace krvbench {

class PluginSessions {
  public:
    ~PluginSessions();
    // The open plug-in at this packet length and shift mode; null with a reason when it cannot
    // be opened.
    CsePluginInterface::CsePlugin* at(int packetLength, Shifts shifts, std::string& error);
    // CPU time used so far by the emulator process of the open session.
    double peerCpuSeconds() const;
    // The processor the emulator process last ran on; -1 when none is open.
    int peerLastCpu() const;

  private:
    bool open(int packetLength, Shifts shifts, std::string& error);
    void close();

    std::map<int, std::unique_ptr<SimProcess>> simulators_;
    std::unique_ptr<CsePluginInterface::CsePlugin> plugin_;
    int openPacketLength_ = 0;
    Shifts openShifts_ = Shifts::Split;
};

PluginSessions& pluginSessions();

// The remote calls the link has made so far, modulo 256: the difference over one host call is its
// number of round trips (each remote call is one request and one reply).
uint8_t remoteCallCount();

}  // namespace krvbench
