// SPDX-License-Identifier: Apache-2.0
#include "svf/SvfReport.h"

#include <algorithm>

#include "svf/SvfBits.h"

namespace csesvf {
namespace {

constexpr uint32_t kWholeReportBits = 1024;  // longer scans show a window around the fault
constexpr uint32_t kWindowBits = 256;

}  // namespace

Mismatch describeMismatch(const std::string& file, uint64_t line, const SvfScan& scan,
                          const uint8_t* read, uint32_t firstBit) {
    Mismatch mismatch;
    mismatch.file = file;
    mismatch.line = line;
    mismatch.command = (scan.instruction ? "SIR " : "SDR ") + std::to_string(scan.ownBits);
    // The statement's own bits as it wrote them; the whole shift when header or trailer failed.
    const bool own = firstBit >= scan.headerBits && firstBit - scan.headerBits < scan.ownBits;
    const uint32_t base = own ? scan.headerBits : 0;
    const uint32_t length = own ? scan.ownBits : scan.totalBits;
    const uint32_t bit = firstBit - base;
    std::string headline =
        file + ":" + std::to_string(line) + ": " + mismatch.command + ": TDO mismatch at ";
    if (own) {
        headline += "bit " + std::to_string(bit);
    } else {
        const bool header = firstBit < scan.headerBits;
        headline += std::string(header ? "header" : "trailer") + " bit " +
                    std::to_string(header ? firstBit : firstBit - scan.headerBits - scan.ownBits) +
                    " (bit " + std::to_string(firstBit) + " of the " +
                    std::to_string(scan.totalBits) + " shifted with header and trailer)";
    }
    uint32_t first = 0;
    uint32_t count = length;
    if (length > kWholeReportBits) {
        first = bit / kWindowBits * kWindowBits;
        count = std::min(kWindowBits, length - first);
        headline +=
            "; bits " + std::to_string(first + count - 1) + ".." + std::to_string(first) + " shown";
    }
    mismatch.headline = headline;
    mismatch.firstBit = bit;
    mismatch.windowFirst = first;
    first += base;
    mismatch.expected = bitsToHex(scan.expected, first, count);
    mismatch.read = bitsToHex(read, first, count);
    mismatch.mask = bitsToHex(scan.mask, first, count);
    return mismatch;
}

}  // namespace csesvf
