// SPDX-License-Identifier: Apache-2.0
// The report of a failed TDO check: where, which statement, the first differing bit, and
// expected, read and mask in hex (a window around that bit for long scans).
#pragma once

#include <cstdint>
#include <string>

#include "svf/SvfParser.h"
#include "svf/SvfPlayback.h"

namespace csesvf {

// firstBit is the first differing bit of the whole shift.
[[nodiscard]] Mismatch describeMismatch(const std::string& file, uint64_t line, const SvfScan& scan,
                                        const uint8_t* read, uint32_t firstBit);

}  // namespace csesvf
