// SPDX-License-Identifier: Apache-2.0
// Two refusals before anything is shifted: an SIR whose length (with HIR and TIR) is not the IR
// path the chain scan measured, and a file without a statement to play. Either is a file for
// another board or no file at all; both are reported as malformed (exit 2 in cse-host).
#pragma once

#include <cstdint>
#include <string>

#include "svf/SvfParser.h"

namespace csesvf {

// Empty when the scan may be shifted; else why not: "SIR 16 (HIR 0, TIR 0: 16 bits) does not fit
// the IR path of 18 bits measured at the chain scan". irPathBits 0: not measured, nothing checked.
[[nodiscard]] std::string irPathMismatch(const SvfScan& scan, uint32_t irPathBits);

// The failure of a file that held no statement acting on the cable.
[[nodiscard]] std::string noStatementFailure(const std::string& fileName);

}  // namespace csesvf
