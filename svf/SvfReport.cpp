#include "svf/SvfReport.h"

#include <algorithm>

#include "svf/SvfBits.h"

namespace csesvf {
namespace {

constexpr uint32_t kWholeReportBits = 1024;  // longer scans show a window around the fault
constexpr uint32_t kWindowBits = 256;

}  // namespace

std::vector<std::string> describeMismatch(const std::string& where, const SvfScan& scan,
                                          const uint8_t* read, uint32_t firstBit) {
    // The statement's own bits as it wrote them; the whole shift when header or trailer failed.
    const bool own = firstBit >= scan.headerBits && firstBit - scan.headerBits < scan.ownBits;
    const uint32_t base = own ? scan.headerBits : 0;
    const uint32_t length = own ? scan.ownBits : scan.totalBits;
    const uint32_t bit = firstBit - base;
    std::string headline = where + ": " + (scan.instruction ? "SIR " : "SDR ") +
                           std::to_string(scan.ownBits) + ": TDO mismatch at ";
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
    first += base;
    return {headline, "  expected " + bitsToHex(scan.expected.data(), first, count),
            "  read     " + bitsToHex(read, first, count),
            "  mask     " + bitsToHex(scan.mask.data(), first, count)};
}

}  // namespace csesvf
