// SPDX-License-Identifier: Apache-2.0
// Where the benchmark process and its peer processes run. Unpinned by default; the environment
// variable KRV_BENCH_PIN="C,P" pins this process to processor C and every peer to processor P.
// On a machine with two cores the placement alone moves a round trip a lot, so it is reported.
#pragma once

#include <string>

namespace krvbench {

struct Placement {
    int clientCpu = -1;  // -1: left to the scheduler
    int peerCpu = -1;
};

// Reads KRV_BENCH_PIN once and pins this process accordingly.
const Placement& processPlacement();
// One line for the report, e.g. "unpinned" or "client on CPU 0, peer on CPU 1".
std::string describePlacement(const Placement& placement);

}  // namespace krvbench
