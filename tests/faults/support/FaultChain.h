// SPDX-License-Identifier: Apache-2.0
// The chain the fault suite runs on, described once for quorbit-sim and once for the soak's
// independent model. Made-up devices: one with IDCODE and a 300000-bit user register, one without
// IDCODE, one with IDCODE only.
#pragma once

#include <vector>

#include "ReferenceChain.h"
#include "sim/QuorbitSim.h"

namespace faults {

constexpr unsigned kLongRegisterBits = 300000;
constexpr uint64_t kLongRegisterOpcode = 0x02;
constexpr unsigned kLongRegisterDevice = 0;

quorbit::ChainDescription faultChainSpec();
std::vector<soak::ModelDevice> faultChainModel();

}  // namespace faults
