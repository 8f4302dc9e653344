// SPDX-License-Identifier: Apache-2.0
#include "sim/CommandLine.h"

#include <arpa/inet.h>

#include <cstdint>

namespace quorbit {
namespace {

bool parseNumber(const std::string& text, std::uint64_t maximum, std::uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    std::uint64_t result = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        result = result * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (result > maximum) return false;
    value = result;
    return true;
}

// Splits "--name=value" and takes the value of "--name value" from the next argument.
bool takeValue(const std::vector<std::string>& args, std::size_t& index, const std::string& name,
               std::string& value, std::string& error) {
    const std::string& arg = args[index];
    if (arg.size() > name.size() && arg[name.size()] == '=') {
        value = arg.substr(name.size() + 1);
        return true;
    }
    if (index + 1 >= args.size()) {
        error = name + " needs a value";
        return false;
    }
    value = args[++index];
    return true;
}

bool matches(const std::string& arg, const std::string& name) {
    return arg == name || (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 &&
                           arg[name.size()] == '=');
}

}  // namespace

std::string usageText() {
    return "Usage: quorbit-sim [options]\n\n"
           "Emulates the debugger front end's UDP remote interface with a virtual JTAG chain.\n\n"
           "Options:\n"
           "  --bind ADDR       IPv4 address to listen on (default 127.0.0.1)\n"
           "  --port N          UDP port (default 20000; 0 picks a free port)\n"
           "  --chain FILE      chain description (default: the built-in demo chain); a NAME\n"
           "                    without '/' that is no file is an installed chain: demo, long20,\n"
           "                    no-idcode, arm (<prefix>/share/quorbit-sim/NAME.chain)\n"
           "  --packlen N       packet length 16..1472 (default 1024)\n"
           "  --vcd FILE        write TCK/TMS/TDI/TDO as a value change dump (at most 64 MiB)\n"
           "  --pcap FILE       write every datagram sent and received as a capture (libpcap)\n"
           "  --faults LIST     link fault injection, e.g. drop-out=0.05,repeat-idle=100ms (lost\n"
           "                    replies repeated once: short calls recover, a long shift may\n"
           "                    fail its call), busy-first=0.3,delay-reply=20ms\n"
           "                    or a lossy network: drop-in=0.01,dup-out=0.01,reorder-in=0.01,\n"
           "                    delay-out=1-30ms (the plug-in sends a request again when no reply\n"
           "                    came in time: a lost datagram costs milliseconds)\n"
           "                    kinds: drop-in/out, dup-reply, dup-in/out, reorder-in/out,\n"
           "                    delay-in/out, delay-reply, stale-first, busy-first,\n"
           "                    same-toggle-first, notify, token-first, tokens-between,\n"
           "                    sync-again, silent, silent-after, refuse, deny, spoof,\n"
           "                    restart-after, release-fails, attach-fails, ack-every,\n"
           "                    repeat-idle, chatter, reexecute, seed\n"
           "                    and of an ARM debug port (jtag-dp in the chain): dap-wait=N\n"
           "                    (every N-th AP access busy: WAIT), dap-wait-scans=K,\n"
           "                    dap-sticky-error=ADDR, dap-power-lost=ADDR (once, at that address)\n"
           "  --board-fault KIND  a fault of the board: tdo-stuck-0, tdo-stuck-1, tdo-echoes-tdi,\n"
           "                    open-after=N (TDI of device N+1 open, pulled high; after the\n"
           "                    last device: TDO reads 1),\n"
           "                    ir-capture=N:VALUE (device N captures VALUE in Capture-IR)\n"
           "  --seed N          seed of the fault injection (overrides seed= in --faults)\n"
           "  --verbose         one line per request: kind, bits, TAP states passed, faults fired\n"
           "  --rbb-port N      also serve remote_bitbang over TCP (0 picks a free port)\n"
           "  --link-lease S    refuse other clients' connects while the link's holder was heard\n"
           "                    within S seconds (default 5; 0: a connect takes the link)\n"
           "  --help            show this text\n"
           "  --version         show the version (and the git commit it was built from)\n"
           "Runs until SIGINT or SIGTERM; SIGUSR1 prints its counters on stderr.\n";
}

CommandLineOutcome parseCommandLine(const std::vector<std::string>& args, CommandLine& line,
                                    std::string& error) {
    CommandLine parsed;
    parsed.options.port = kDefaultUdpPort;
    bool seedGiven = false;
    std::uint64_t seed = 0;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string value;
        std::uint64_t number = 0;
        if (arg == "--help" || arg == "-h") return CommandLineOutcome::Help;
        if (arg == "--version") return CommandLineOutcome::Version;
        if (arg == "--verbose" || arg == "-v") {
            parsed.options.verbose = true;
        } else if (matches(arg, "--bind")) {
            if (!takeValue(args, i, "--bind", value, error)) return CommandLineOutcome::UsageError;
            in_addr address{};
            if (inet_pton(AF_INET, value.c_str(), &address) != 1) {
                error = "bind address '" + value + "' is not a dotted IPv4 address";
                return CommandLineOutcome::UsageError;
            }
            parsed.options.bindAddress = value;
        } else if (matches(arg, "--port")) {
            if (!takeValue(args, i, "--port", value, error)) return CommandLineOutcome::UsageError;
            if (!parseNumber(value, 65535, number)) {
                error = "--port takes 0..65535, not '" + value + "'";
                return CommandLineOutcome::UsageError;
            }
            parsed.options.port = static_cast<std::uint16_t>(number);
        } else if (matches(arg, "--chain")) {
            if (!takeValue(args, i, "--chain", value, error)) return CommandLineOutcome::UsageError;
            parsed.chainPath = value;
        } else if (matches(arg, "--packlen")) {
            if (!takeValue(args, i, "--packlen", value, error))
                return CommandLineOutcome::UsageError;
            if (!parseNumber(value, 1472, number) || number < 16) {
                error = "--packlen takes 16..1472, not '" + value + "'";
                return CommandLineOutcome::UsageError;
            }
            parsed.options.packetLength = static_cast<int>(number);
        } else if (matches(arg, "--vcd")) {
            if (!takeValue(args, i, "--vcd", value, error)) return CommandLineOutcome::UsageError;
            parsed.options.vcdPath = value;
        } else if (matches(arg, "--pcap")) {
            if (!takeValue(args, i, "--pcap", value, error)) return CommandLineOutcome::UsageError;
            parsed.options.pcapPath = value;
        } else if (matches(arg, "--faults")) {
            if (!takeValue(args, i, "--faults", value, error))
                return CommandLineOutcome::UsageError;
            std::string faultError;
            if (!parseFaultList(value, parsed.options.faults, faultError)) {
                error = "--faults: " + faultError;
                return CommandLineOutcome::UsageError;
            }
        } else if (matches(arg, "--board-fault")) {
            if (!takeValue(args, i, "--board-fault", value, error))
                return CommandLineOutcome::UsageError;
            std::string faultError;
            if (!parseBoardFaults(value, parsed.options.boardFaults, faultError)) {
                error = "--board-fault: " + faultError;
                return CommandLineOutcome::UsageError;
            }
        } else if (matches(arg, "--seed")) {
            if (!takeValue(args, i, "--seed", value, error)) return CommandLineOutcome::UsageError;
            if (!parseNumber(value, UINT64_MAX, number)) {
                error = "--seed takes a decimal number, not '" + value + "'";
                return CommandLineOutcome::UsageError;
            }
            seedGiven = true;
            seed = number;
        } else if (matches(arg, "--rbb-port")) {
            if (!takeValue(args, i, "--rbb-port", value, error))
                return CommandLineOutcome::UsageError;
            if (!parseNumber(value, 65535, number)) {
                error = "--rbb-port takes 0..65535, not '" + value + "'";
                return CommandLineOutcome::UsageError;
            }
            parsed.options.rbbPort = static_cast<int>(number);
        } else if (matches(arg, "--link-lease")) {
            if (!takeValue(args, i, "--link-lease", value, error))
                return CommandLineOutcome::UsageError;
            if (!parseNumber(value, 3600, number)) {
                error = "--link-lease takes 0..3600 seconds, not '" + value + "'";
                return CommandLineOutcome::UsageError;
            }
            parsed.options.linkLeaseSeconds = static_cast<unsigned>(number);
        } else {
            error = "unknown argument '" + arg + "' (see --help)";
            return CommandLineOutcome::UsageError;
        }
    }
    if (seedGiven) parsed.options.faults.seed = seed;
    line = std::move(parsed);
    return CommandLineOutcome::Run;
}

}  // namespace quorbit
