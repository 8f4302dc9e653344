// SPDX-License-Identifier: Apache-2.0
#include "support/Placement.h"

#include <sched.h>

#include <cstdio>
#include <cstdlib>

namespace krvbench {
namespace {

Placement readPlacement() {
    Placement placement;
    const char* text = std::getenv("KRV_BENCH_PIN");
    int client = -1;
    int peer = -1;
    if (text != nullptr && std::sscanf(text, "%d,%d", &client, &peer) == 2 && client >= 0 &&
        peer >= 0 && client < CPU_SETSIZE && peer < CPU_SETSIZE) {
        placement.clientCpu = client;
        placement.peerCpu = peer;
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(client, &set);
        if (sched_setaffinity(0, sizeof set, &set) != 0) placement = Placement();
    }
    return placement;
}

}  // namespace

const Placement& processPlacement() {
    static const Placement placement = readPlacement();
    return placement;
}

std::string describePlacement(const Placement& placement) {
    if (placement.clientCpu < 0) return "unpinned (the scheduler places both processes)";
    return "client on CPU " + std::to_string(placement.clientCpu) + ", peer on CPU " +
           std::to_string(placement.peerCpu);
}

}  // namespace krvbench
