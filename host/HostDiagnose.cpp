// SPDX-License-Identifier: Apache-2.0
// cse-host diagnose: the chain checks of the diagnosis library on this session, then their report.
#include <algorithm>
#include <cstdio>

#include "diagnosis/ChainDiagnosis.h"
#include "host/HostSession.h"

namespace csehost {

Outcome HostSession::diagnose(const HostOptions& options) {
    const std::vector<csediag::Check> checks = csediag::diagnoseSession(
        *session_, options.hasIrLengths ? options.irLengths : std::vector<uint32_t>{});
    writer_.diagnosis(checks);
    const bool anyFault = std::any_of(checks.begin(), checks.end(), [](const csediag::Check& c) {
        return c.verdict == csediag::Verdict::kFault;
    });
    if (anyFault) {
        std::fprintf(stderr, "cse-host: diagnose found a fault\n");
        writer_.error("diagnose found a fault");
    }
    return anyFault ? Outcome::kFailed : Outcome::kSuccess;
}

}  // namespace csehost
