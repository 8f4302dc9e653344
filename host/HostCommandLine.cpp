// SPDX-License-Identifier: Apache-2.0
// cse-host's command line through CLI11, from the option table: options anywhere, the command and
// its arguments as the remaining words, each refused with a one-line reason.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <map>

#include "host/HostArguments.h"
#include "host/HostDefinitions.h"
#include "session/HexBits.h"
#include "session/NodeResolution.h"

namespace csehost {
namespace {

constexpr int kMaxVerbosity = 4;

bool parseNumber(const std::string& name, const std::string& text, uint64_t low, uint64_t high,
                 uint32_t& value, std::string& error) {
    uint64_t parsed = 0;
    if (!csesession::parseDecimal(text, high, parsed, error)) {
        error = name + ": " + error;
        return false;
    }
    if (parsed < low) {
        error = name + " must be " + std::to_string(low) + ".." + std::to_string(high);
        return false;
    }
    value = static_cast<uint32_t>(parsed);
    return true;
}

// The values of the value options, in the option table's terms.
bool applyValue(const std::string& name, const std::string& value, HostOptions& options,
                std::string& error) {
    uint32_t number = 0;
    if (name == "--lib") {
        options.libraryPath = value;
    } else if (name == "--node") {
        if (value.empty()) {
            error = "--node needs a host name or address";
            return false;
        }
        options.node = value;
        options.useFrontEnd = true;
    } else if (name == "--port") {
        if (!parseNumber("--port", value, 1, 65535, number, error)) return false;
        options.port = std::to_string(number);
        options.useFrontEnd = true;
    } else if (name == "--timeout") {
        if (!parseNumber("--timeout", value, 1, 3600, number, error)) return false;
        options.timeoutSeconds = number;
    } else if (name == "--packlen") {
        if (!parseNumber("--packlen", value, 16, 1472, number, error)) return false;
        options.packetLength = number;
    } else if (name == "--shifts") {
        if (value != "split" && value != "merged") {
            error = "--shifts takes split or merged, not '" + value + "'";
            return false;
        }
        options.shifts = value;
    } else if (name == "--hostport") {
        if (!parseNumber("--hostport", value, 1, 65535, number, error)) return false;
        options.hostPort = static_cast<uint16_t>(number);
    } else if (name == "--sim-port") {
        if (!parseNumber("--sim-port", value, 1, 65535, number, error)) return false;
        options.simPort = static_cast<uint16_t>(number);
    } else if (name == "--sim-chain") {
        options.simChainPath = value;
    } else if (name == "--sim-pcap") {
        options.simPcapPath = value;
    } else if (name == "--irlen") {
        options.hasIrLengths = true;
        return parseIrLengthList(value, options.irLengths, error);
    } else if (name == "--retries") {
        if (!parseNumber("--retries", value, 0, kMaxRetries, number, error)) return false;
        options.retries = number;
    } else if (name == "--rbb-port") {
        if (!parseNumber("--rbb-port", value, 0, 65535, number, error)) return false;
        options.rbbPort = static_cast<uint16_t>(number);
    } else if (name == "--rbb-bind") {
        options.rbbBind = value;
    } else if (name == "--sim-board-fault") {
        // The emulator checks the kinds; several options add up.
        options.boardFaults += (options.boardFaults.empty() ? "" : ",") + value;
    }
    return true;
}

bool isEmbeddedOption(const std::string& name) {
    return name.compare(0, 6, "--sim-") == 0;
}

}  // namespace

bool parseHostArguments(const std::vector<std::string>& args, HostOptions& options,
                        std::string& error) {
    CLI::App app;
    app.set_help_flag();
    app.allow_extras(true);  // unknown options are reported below in cse-host's words
    // Every occurrence of a value option, in order, so that later ones win and faults add up.
    std::vector<std::pair<std::string, std::string>> values;
    std::map<std::string, bool> flags;
    int verbosity = 0;
    for (const OptionDefinition& option : hostOptions()) {
        if (*option.names == '\0') continue;
        const std::string names = option.names;
        const std::string longName = names.substr(names.rfind(',') + 1);
        switch (option.kind) {
            case OptionKind::kValue:
                app.add_option_function<std::vector<std::string>>(
                       names,
                       [&values, longName](const std::vector<std::string>& given) {
                           for (const std::string& value : given)
                               values.emplace_back(longName, value);
                       })
                    ->allow_extra_args(false)
                    ->type_name(option.value);
                break;
            case OptionKind::kFlag:
                app.add_flag_function(names,
                                      [&flags, longName](int64_t) { flags[longName] = true; });
                break;
            case OptionKind::kCount:
                app.add_flag(names, verbosity);
                break;
        }
    }
    std::vector<std::string> words;
    app.add_option("words", words);
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ArgumentMismatch& mismatch) {
        const std::string text = mismatch.what();
        error = "option " + text.substr(0, text.find(':')) + " needs a value";
        return false;
    } catch (const CLI::ParseError& failure) {
        error = failure.what();
        return false;
    } catch (const std::exception&) {
        // CLI11 reads "--flag=VALUE" as a number and lets the conversion error escape.
        for (const std::string& arg : args) {
            const size_t equals = arg.find('=');
            if (arg.rfind("--", 0) != 0 || equals == std::string::npos) continue;
            const std::string name = arg.substr(0, equals);
            for (const OptionDefinition& option : hostOptions()) {
                const std::string names = option.names;
                if (option.kind == OptionKind::kValue || names.substr(names.rfind(',') + 1) != name)
                    continue;
                error = "option " + name + " takes no value";
                return false;
            }
        }
        error = "cannot read the command line";
        return false;
    }
    for (const std::string& extra : app.remaining()) {
        if (extra.size() > 1 && extra[0] == '-') {
            const std::string name = extra.substr(0, extra.find('='));
            error = !hasEmbeddedEmulator() && isEmbeddedOption(name)
                        ? name + ": this build has no embedded emulator"
                        : "unknown option '" + extra + "'";
            return false;
        }
        words.push_back(extra);
    }
    options.help = flags["--help"];
    options.version = flags["--version"];
    options.bashCompletion = flags["--bash-completion"];
    options.dump = flags["--dump"];
    options.json = flags["--json"];
    options.quiet = flags["--quiet"];
    options.keepGoing = flags["--keep-going"];
    options.checkEach = flags["--check-each"];
    options.verbosity = std::min(kMaxVerbosity, verbosity);
    for (const auto& [name, value] : values) {
        if (!applyValue(name, value, options, error)) return false;
    }
    if (options.help || options.version || options.bashCompletion) return true;
    if (options.useFrontEnd) {
        // HOST:PORT names both; a port given twice must be the same.
        std::string host;
        std::optional<uint16_t> nodePort;
        if (!csesession::splitNode(options.node, host, nodePort, error)) {
            error = "--" + error;
            return false;
        }
        const bool portGiven = std::any_of(values.begin(), values.end(), [](const auto& value) {
            return value.first == "--port";
        });
        if (nodePort && portGiven && options.port != std::to_string(*nodePort)) {
            error = "--node " + options.node + " names port " + std::to_string(*nodePort) +
                    ", but --port gives " + options.port;
            return false;
        }
        options.node = host;
        if (nodePort) options.port = std::to_string(*nodePort);
    }
    if (options.useFrontEnd && (!options.simChainPath.empty() || !options.boardFaults.empty() ||
                                !options.simPcapPath.empty() || options.simPort)) {
        const char* name = !options.simChainPath.empty()  ? "--sim-chain"
                           : !options.boardFaults.empty() ? "--sim-board-fault"
                           : !options.simPcapPath.empty() ? "--sim-pcap"
                                                          : "--sim-port";
        error =
            std::string(name) + " is for the embedded emulator; it cannot go with --node or --port";
        return false;
    }
    if (words.empty()) {
        error = "no command given";
        return false;
    }
    if (!parseCommandWords(words, RunNesting::kAllowRun, options.command, error)) return false;
    if (options.keepGoing && options.command.kind != CommandKind::kSvf &&
        options.command.kind != CommandKind::kRun) {
        error = "--keep-going is for the svf and run commands";
        return false;
    }
    options.command.keepGoing = options.keepGoing;
    if (options.checkEach && options.command.kind != CommandKind::kSvf) {
        error = "--check-each is for the svf command";
        return false;
    }
    const bool retriesGiven = std::any_of(
        values.begin(), values.end(), [](const auto& value) { return value.first == "--retries"; });
    if (retriesGiven && options.command.kind != CommandKind::kSvf &&
        options.command.kind != CommandKind::kRun) {
        error = "--retries is for the svf and run commands";
        return false;
    }
    if ((options.rbbPort || options.rbbBind) && options.command.kind != CommandKind::kServe) {
        error = "--rbb-port and --rbb-bind are for the serve command";
        return false;
    }
    if (options.rbbPort) options.command.rbbPort = *options.rbbPort;
    if (options.rbbBind) options.command.rbbBind = *options.rbbBind;
    return true;
}

}  // namespace csehost
