// The report of a failed TDO check: where, which statement, the first differing bit, and
// expected, read and mask in hex (a window around that bit for long scans).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "svf/SvfParser.h"

namespace csesvf {

// A headline and three lines, without the "cse-host: " prefixes.
[[nodiscard]] std::vector<std::string> describeMismatch(const std::string& where,
                                                        const SvfScan& scan, const uint8_t* read,
                                                        uint32_t firstBit);

}  // namespace csesvf
