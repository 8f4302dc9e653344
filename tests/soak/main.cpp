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
              << " devices\n";
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
    return report.wrongResults == 0 && report.hangs == 0 && !signalsFailedCalls ? 0 : 1;
}
