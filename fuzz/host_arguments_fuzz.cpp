// SPDX-License-Identifier: Apache-2.0
// cse-host's command line (arguments split at NUL characters) and run scripts; byte 0 picks which.
// A refusal must always come with a one-line reason.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "host/HostArguments.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::string error;
    bool accepted = false;
    if ((data[0] & 1u) == 0) {
        const std::vector<std::string> args = fuzzinput::splitAtNul(data + 1, size - 1);
        csehost::HostOptions options;
        accepted = csehost::parseHostArguments(args, options, error);
        if (accepted && !options.version && !options.help) {  // those print and stop
            const csehost::HostCommand& command = options.command;
            if (command.tdi.size() != (static_cast<size_t>(command.bitCount) + 7) / 8) std::abort();
            if (options.irLengths.size() > csehost::kMaxDeviceIndex + 1) std::abort();
            // HOST:PORT is split into the two; an IPv6 literal never gets through.
            if (options.useFrontEnd && options.node.find(':') != std::string::npos) std::abort();
        }
    } else {
        const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
        std::vector<csehost::HostCommand> commands;
        accepted = csehost::parseRunScript(text, "fuzz.run", commands, error);
        for (const csehost::HostCommand& command : commands) {
            if (command.kind == csehost::CommandKind::kRun) std::abort();  // no nesting
        }
    }
    if (!accepted && error.empty()) std::abort();
    return 0;
}
