// SPDX-License-Identifier: Apache-2.0
// After a failed chain scan: a look at the TDO line itself, so that a dead line is reported as such
// and not as what the scan made of it (a TDO stuck at 0 reads as a chain of more than 254 devices).
#pragma once

#include <string>

#include "koraven-cse-plugin/CsePlugin.h"

namespace csesession {

// Shifts zeros, then ones, through the DR path. The reason when TDO read 0 on every clock, 1 on
// every clock, or TDI's own bit on every clock; empty when TDO moved otherwise (or the shift
// failed: the scan's own error then stands).
[[nodiscard]] std::string stuckTdoReason(CsePluginInterface::ICsePlugin& plugin);

}  // namespace csesession
