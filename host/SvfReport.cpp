#include "host/SvfReport.h"

#include <algorithm>

#include "host/SvfBits.h"

namespace csehost {
namespace {

constexpr uint32_t kWholeReportBits = 1024;  // longer scans show a window around the fault
constexpr uint32_t kWindowBits = 256;

std::string partOfScan(const SvfScan& scan, uint32_t bit) {
    if (bit < scan.headerBits) return "header bit " + std::to_string(bit);
    if (bit < scan.headerBits + scan.ownBits)
        return "bit " + std::to_string(bit - scan.headerBits) + " of the statement's " +
               std::to_string(scan.ownBits);
    return "trailer bit " + std::to_string(bit - scan.headerBits - scan.ownBits);
}

}  // namespace

std::vector<std::string> describeMismatch(const std::string& where, const SvfScan& scan,
                                          const uint8_t* read, uint32_t firstBit) {
    const bool framed = scan.totalBits != scan.ownBits;
    std::string headline = where + ": " + (scan.instruction ? "SIR " : "SDR ") +
                           std::to_string(scan.ownBits) + ": TDO mismatch at bit " +
                           std::to_string(firstBit);
    if (framed) {
        headline += " of the " + std::to_string(scan.totalBits) +
                    " shifted with header and trailer (" + partOfScan(scan, firstBit) + ")";
    }
    uint32_t first = 0;
    uint32_t count = scan.totalBits;
    if (scan.totalBits > kWholeReportBits) {
        first = firstBit / kWindowBits * kWindowBits;
        count = std::min(kWindowBits, scan.totalBits - first);
        headline +=
            "; bits " + std::to_string(first + count - 1) + ".." + std::to_string(first) + " shown";
    }
    return {headline, "  expected " + bitsToHex(scan.expected.data(), first, count),
            "  read     " + bitsToHex(read, first, count),
            "  mask     " + bitsToHex(scan.mask.data(), first, count)};
}

}  // namespace csehost
