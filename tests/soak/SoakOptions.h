// SPDX-License-Identifier: Apache-2.0
// cse-soak's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace soak {

struct SoakOptions {
    uint64_t seed = 1;
    uint64_t operations = 1000;
    double faultRate = 0.0;    // per datagram and per reply, for every probabilistic fault
    unsigned devices = 4;      // 1..32
    unsigned timeoutMs = 200;  // reply and handshake time-out of the link
    unsigned longestShiftBits = 300000;
    unsigned signalStormMicros = 0;  // SIGALRM this often during the run; 0 = none
    bool verbose = false;            // one line per operation
    // Lossy mode: the network's faults only (netFaults, in the emulator's fault-list form), and
    // the session is kept after a failure as a host keeps it.
    bool lossy = false;
    std::string netFaults;
    // With lossy: after a failed call the host goes on with DR shifts without loading its
    // instructions again (a careful host shifts an instruction first).
    bool naiveHost = false;
    bool help = false;
};

// args excludes the program name; false with a one-line reason.
[[nodiscard]] bool parseSoakOptions(const std::vector<std::string>& args, SoakOptions& options,
                                    std::string& error);

std::string soakUsage();

}  // namespace soak
