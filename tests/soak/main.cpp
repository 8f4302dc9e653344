// SPDX-License-Identifier: Apache-2.0
// cse-soak: a bounded, seeded soak of the plug-in against quorbit-sim with bit-exact checking.
#include <iostream>
#include <string>
#include <vector>

#include "SoakOptions.h"
#include "SoakRunner.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    soak::SoakOptions options;
    std::string error;
    if (!soak::parseSoakOptions(args, options, error)) {
        std::cerr << "cse-soak: " << error << "\n" << soak::soakUsage();
        return 2;
    }
    if (options.help) {
        std::cout << soak::soakUsage();
        return 0;
    }
    std::cout << "cse-soak: seed " << options.seed << ", " << options.operations
              << " operations, fault rate " << options.faultRate << ", " << options.devices
              << " devices" << (options.lossy ? ", lossy network" : "") << "\n";
    soak::SoakReport report;
    soak::SoakRunner runner(options, std::cout);
    const bool ran = runner.run(report, error);
    std::cout << soak::formatReport(report);
    if (!ran) {
        std::cerr << "cse-soak: " << error << "\n";
        return 2;
    }
    // Signals alone must never fail a call: without faults every call has to succeed.
    const bool signalsFailedCalls =
        options.signalStormMicros != 0 && options.faultRate == 0.0 && report.cleanFailures != 0;
    if (signalsFailedCalls) std::cerr << "cse-soak: calls failed under the signal storm alone\n";
    // On a lossy network no call may leave the plug-in believing a state the chain has left, and
    // the session must never need opening again.
    const bool lossyFaults =
        options.lossy && (report.silentWrongStates != 0 || report.runsNeedingReopen != 0 ||
                          report.drShiftsAfterRecovery != 0);
    if (lossyFaults)
        std::cerr << "cse-soak: a silent wrong state, a reopen or a DR shift after a recovery "
                     "on the lossy link\n";
    return report.wrongResults == 0 && report.hangs == 0 && !signalsFailedCalls && !lossyFaults ? 0
                                                                                                : 1;
}
