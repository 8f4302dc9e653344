// SPDX-License-Identifier: Apache-2.0
// cse-host diagnose: the chain checks of the diagnosis library on this session, then their report.
#include <algorithm>
#include <cstdio>

#include "diagnosis/ChainDiagnosis.h"
#include "host/HostSession.h"
#include "koraven-cse-plugin/CsePlugin.h"

namespace csehost {

Outcome HostSession::diagnose(const HostOptions& options) {
    csediag::ChainFacts facts;
    facts.scanned = scanned_;
    facts.scanProblem = scanProblem_;
    for (uint32_t device = 0; scanned_ && device < deviceCount_; ++device)
        facts.idcodes.push_back(plugin_->getDeviceID(device));
    if (options.hasIrLengths) facts.irLengthsGiven = options.irLengths;
    facts.irLengthProblem = session_->irLengthProblem();
    const std::vector<csediag::Check> checks = csediag::diagnoseChain(*plugin_, facts);
    session_->noteTapReset();  // the checks reset the TAP
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
