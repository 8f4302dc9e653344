// SPDX-License-Identifier: Apache-2.0
#include "svf/SvfIrPathCheck.h"

namespace csesvf {

std::string irPathMismatch(const SvfScan& scan, uint32_t irPathBits) {
    // A scan of no bits shifts nothing, whatever the chain.
    if (!scan.instruction || irPathBits == 0 || scan.totalBits == 0 ||
        scan.totalBits == irPathBits) {
        return {};
    }
    const uint32_t trailerBits = scan.totalBits - scan.headerBits - scan.ownBits;
    return "SIR " + std::to_string(scan.ownBits) + " (HIR " + std::to_string(scan.headerBits) +
           ", TIR " + std::to_string(trailerBits) + ": " + std::to_string(scan.totalBits) +
           " bits) does not fit the IR path of " + std::to_string(irPathBits) +
           " bits measured at the chain scan: the file is for another chain; nothing of the SIR "
           "was shifted";
}

std::string noStatementFailure(const std::string& fileName) {
    return fileName +
           ": no statement to play (SIR, SDR, RUNTEST, STATE or TRST): the file is empty or "
           "holds only comments and settings";
}

}  // namespace csesvf
