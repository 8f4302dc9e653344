// SPDX-License-Identifier: Apache-2.0
// Checks of one device description, shared by validateChain() and the chain file parser (which
// adds the file name and line number to the error).
#pragma once

#include <string>

#include "sim/QuorbitSim.h"

namespace quorbit {

[[nodiscard]] bool validateDevice(const DeviceDescription& device, std::string& error);

}  // namespace quorbit
