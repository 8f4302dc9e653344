// SPDX-License-Identifier: Apache-2.0
// quorbit-sim's text parsers: chain descriptions, fault lists and the command line. Byte 0 picks
// the parser; a chain the parser accepts must also pass the checks for chains built in code.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "sim/CommandLine.h"
#include "sim/QuorbitSim.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string error;
    switch (data[0] % 3) {
        case 0: {
            quorbit::ChainDescription chain;
            if (quorbit::parseChainText(text, "fuzz.chain", chain, error)) {
                std::string invalid;
                if (!quorbit::validateChain(chain, invalid)) std::abort();
                if (chain.devices.empty() || chain.devices.size() > quorbit::kMaxChainDevices) {
                    std::abort();
                }
            } else if (error.empty()) {
                std::abort();
            }
            break;
        }
        case 1: {
            quorbit::FaultPlan plan;
            plan.seed = 99;
            if (!quorbit::parseFaultList(text, plan, error) && plan.seed != 99) std::abort();
            break;
        }
        default: {
            const std::vector<std::string> args = fuzzinput::splitAtNul(data + 1, size - 1);
            quorbit::CommandLine line;
            if (quorbit::parseCommandLine(args, line, error) ==
                    quorbit::CommandLineOutcome::UsageError &&
                error.empty()) {
                std::abort();
            }
            break;
        }
    }
    return 0;
}
