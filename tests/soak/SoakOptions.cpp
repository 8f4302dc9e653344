// SPDX-License-Identifier: Apache-2.0
#include "SoakOptions.h"

#include <cstdlib>

namespace soak {
namespace {

bool unsignedValue(const std::string& text, uint64_t low, uint64_t high, uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
    }
    value = std::strtoull(text.c_str(), nullptr, 10);
    return value >= low && value <= high;
}

bool rateValue(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && value >= 0.0 && value <= 0.5;
}

}  // namespace

bool parseSoakOptions(const std::vector<std::string>& args, SoakOptions& options,
                      std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (name == "--help" || name == "-h") {
            options.help = true;
            continue;
        }
        if (name == "--verbose" || name == "-v") {
            options.verbose = true;
            continue;
        }
        if (name == "--lossy") {
            options.lossy = true;
            continue;
        }
        if (name == "--naive-host") {
            options.lossy = true;
            options.naiveHost = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            error = name.rfind("--", 0) == 0 ? name + " needs a value" : "unknown argument " + name;
            return false;
        }
        const std::string& text = args[++i];
        uint64_t value = 0;
        bool good = true;
        if (name == "--seed") {
            good = unsignedValue(text, 0, UINT64_MAX / 2, options.seed);
        } else if (name == "--ops") {
            good = unsignedValue(text, 1, 100000000, options.operations);
        } else if (name == "--fault-rate") {
            good = rateValue(text, options.faultRate);
        } else if (name == "--devices") {
            good = unsignedValue(text, 1, 32, value);
            options.devices = static_cast<unsigned>(value);
        } else if (name == "--timeout-ms") {
            good = unsignedValue(text, 5, 60000, value);
            options.timeoutMs = static_cast<unsigned>(value);
        } else if (name == "--max-bits") {
            good = unsignedValue(text, 1, 1000000, value);
            options.longestShiftBits = static_cast<unsigned>(value);
        } else if (name == "--net-faults") {
            options.lossy = true;
            options.netFaults = text;
        } else if (name == "--signal-storm-us") {
            good = unsignedValue(text, 100, 1000000, value);
            options.signalStormMicros = static_cast<unsigned>(value);
        } else {
            error = "unknown argument " + name;
            return false;
        }
        if (!good) {
            error = "bad value for " + name + ": " + text;
            return false;
        }
    }
    return true;
}

std::string soakUsage() {
    return "usage: cse-soak [--seed N] [--ops N] [--fault-rate X] [--devices N] [--timeout-ms N]\n"
           "                [--max-bits N] [--signal-storm-us N] [--lossy] [--net-faults LIST]\n"
           "                [--naive-host] [--verbose]\n"
           "Runs a seeded random mix of navigations and chain- and device-level shifts through "
           "the\n"
           "plug-in against quorbit-sim with a random chain and checks every TDO bit against its "
           "own\n"
           "model. --fault-rate (0..0.5) turns on every probabilistic fault of the emulator at "
           "that\n"
           "rate. --signal-storm-us (100..1000000) sends the process SIGALRM that often, its\n"
           "handler installed without SA_RESTART; without faults every call must then succeed.\n"
           "--lossy keeps the session after a failed call, as a host does, and reopens only after\n"
           "10 failures in a row (a fault); the emulator then gets only the network's faults:\n"
           "--net-faults LIST in its --faults form, by default 1% drop, duplication and\n"
           "reordering and 1-30 ms delays each way. After a failed call a lossy host shifts an\n"
           "instruction before its next chain DR shift; --naive-host (implies --lossy) does not, and\n"
           "the DR shifts the plug-in refuses after its recovery reset are counted, not failed.\n"
           "Exits 1 on any wrong result, 2 on a usage error or when the run cannot start.\n";
}

}  // namespace soak
