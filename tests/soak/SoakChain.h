// SPDX-License-Identifier: Apache-2.0
// A random chain for a soak run: the same devices described once for the emulator and once for
// the soak's own model. ID codes and names are made up.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "ReferenceChain.h"
#include "sim/QuorbitSim.h"

namespace soak {

struct SoakChain {
    quorbit::ChainDescription emulated;
    std::vector<ModelDevice> modelled;
};

struct ChainShape {
    unsigned devices = 4;
    unsigned longestUserRegister = 4096;  // bits
};

// Devices with IR lengths 2..8, most with an IDCODE, up to two user registers each; the draws
// come from `random`, so one seed gives one chain.
SoakChain randomChain(const ChainShape& shape, std::mt19937_64& random);

}  // namespace soak
