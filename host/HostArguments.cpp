#include "host/HostArguments.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <sstream>

#include "session/HexBits.h"

namespace csehost {

using csesession::parseBitCount;
using csesession::parseDecimal;
using csesession::parseHexBits;
namespace {

const char* const kStateNames[16] = {
    "TEST_LOGIC_RESET", "RUN_TEST_IDLE",  "SELECT_DR_SCAN", "CAPTURE_DR",
    "SHIFT_DR",         "EXIT1_DR",       "PAUSE_DR",       "EXIT2_DR",
    "UPDATE_DR",        "SELECT_IR_SCAN", "CAPTURE_IR",     "SHIFT_IR",
    "EXIT1_IR",         "PAUSE_IR",       "EXIT2_IR",       "UPDATE_IR"};

// The names OpenOCD and SVF give the same states (both use these); "RUN/IDLE" is OpenOCD's own.
const char* const kOpenOcdStateNames[16] = {
    "RESET",    "IDLE",     "DRSELECT",  "DRCAPTURE", "DRSHIFT", "DREXIT1", "DRPAUSE", "DREXIT2",
    "DRUPDATE", "IRSELECT", "IRCAPTURE", "IRSHIFT",   "IREXIT1", "IRPAUSE", "IREXIT2", "IRUPDATE"};

struct CommandShape {
    const char* name;
    CommandKind kind;
    size_t minArgs;
    size_t maxArgs;
    const char* usage;
};

const CommandShape kCommands[] = {
    {"scan", CommandKind::kScan, 0, 0, "scan"},
    {"idcode", CommandKind::kIdcode, 1, 1, "idcode DEV"},
    {"irscan", CommandKind::kIrScan, 3, 3, "irscan DEV BITS HEX"},
    {"drscan", CommandKind::kDrScan, 3, 3, "drscan DEV BITS HEX"},
    {"irscan-chain", CommandKind::kIrScanChain, 2, 2, "irscan-chain BITS HEX"},
    {"drscan-chain", CommandKind::kDrScanChain, 2, 2, "drscan-chain BITS HEX"},
    {"state", CommandKind::kState, 1, 3, "state NAME [CLOCKS] [WAIT_US]"},
    {"run", CommandKind::kRun, 1, 1, "run FILE"},
    {"diagnose", CommandKind::kDiagnose, 0, 0, "diagnose"},
    {"svf", CommandKind::kSvf, 1, 1, "svf FILE"},
};

bool parseUnsigned32(const std::string& text, const char* what, uint64_t maxValue, uint32_t& value,
                     std::string& error) {
    uint64_t parsed = 0;
    if (!parseDecimal(text, maxValue, parsed, error)) {
        error = std::string(what) + ": " + error;
        return false;
    }
    value = static_cast<uint32_t>(parsed);
    return true;
}

bool parseScanArguments(const std::vector<std::string>& args, bool withDevice, HostCommand& command,
                        std::string& error) {
    size_t next = 0;
    if (withDevice &&
        !parseUnsigned32(args[next++], "device", kMaxDeviceIndex, command.device, error)) {
        return false;
    }
    if (!parseBitCount(args[next++], command.bitCount, error)) return false;
    return parseHexBits(args[next], command.bitCount, command.tdi, error);
}

bool parseStateArguments(const std::vector<std::string>& args, HostCommand& command,
                         std::string& error) {
    if (!parseTapStateName(args[0], command.state, error)) return false;
    if (args.size() > 1 && !parseUnsigned32(args[1], "clocks", UINT32_MAX, command.clocks, error)) {
        return false;
    }
    if (args.size() > 2) {
        command.hasWait = true;
        return parseUnsigned32(args[2], "wait", UINT32_MAX, command.waitMicroseconds, error);
    }
    return true;
}

bool isVerboseFlag(const std::string& arg) {
    return arg.size() >= 2 && arg[0] == '-' && arg.find_first_not_of('v', 1) == std::string::npos;
}

// "--name VALUE" or "--name=VALUE"; advances index past a separate value.
bool takeOptionValue(const std::vector<std::string>& args, size_t& index, const std::string& name,
                     std::string& value, bool& matched, std::string& error) {
    const std::string& arg = args[index];
    matched = false;
    if (arg == name) {
        matched = true;
        if (index + 1 >= args.size()) {
            error = "option " + name + " needs a value";
            return false;
        }
        value = args[++index];
        return true;
    }
    if (arg.compare(0, name.size() + 1, name + "=") == 0) {
        matched = true;
        value = arg.substr(name.size() + 1);
        return true;
    }
    return true;
}

bool applyValueOption(const std::string& name, const std::string& value, HostOptions& options,
                      std::string& error) {
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
        uint32_t port = 0;
        if (!parseUnsigned32(value, "--port", 65535, port, error)) return false;
        if (port == 0) {
            error = "--port must be 1..65535";
            return false;
        }
        options.port = std::to_string(port);
        options.useFrontEnd = true;
    } else if (name == "--sim-chain") {
        options.simChainPath = value;
    } else if (name == "--sim-pcap") {
        options.simPcapPath = value;
    } else if (name == "--irlen") {
        options.hasIrLengths = true;
        return parseIrLengthList(value, options.irLengths, error);
    } else if (name == "--sim-board-fault") {
        // The emulator checks the kinds; several options add up.
        options.boardFaults += (options.boardFaults.empty() ? "" : ",") + value;
    }
    return true;
}

}  // namespace

bool parseHostArguments(const std::vector<std::string>& args, HostOptions& options,
                        std::string& error) {
    static const char* const kValueOptions[] = {"--lib",       "--node",     "--port",      "--sim-chain",
                                                "--sim-pcap", "--irlen",    "--sim-board-fault"};
    std::vector<std::string> words;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            continue;
        }
        if (arg == "--version") {
            options.version = true;
            continue;
        }
        if (arg == "--dump") {
            options.dump = true;
            continue;
        }
        if (arg == "--json" || arg == "--quiet") {
            (arg == "--json" ? options.json : options.quiet) = true;
            continue;
        }
        if (arg == "--keep-going") {
            options.keepGoing = true;
            continue;
        }
        if (arg == "--verbose" || isVerboseFlag(arg)) {
            const int added = arg == "--verbose" ? 1 : static_cast<int>(arg.size() - 1);
            options.verbosity = std::min(4, options.verbosity + added);
            continue;
        }
        bool matched = false;
        for (const char* name : kValueOptions) {
            std::string value;
            if (!takeOptionValue(args, i, name, value, matched, error)) return false;
            if (matched) {
                if (!applyValueOption(name, value, options, error)) return false;
                break;
            }
        }
        if (matched) continue;
        if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option '" + arg + "'";
            return false;
        }
        words.push_back(arg);
    }
    if (options.help || options.version) return true;
    if (options.useFrontEnd && (!options.simChainPath.empty() || !options.boardFaults.empty())) {
        error = std::string(options.simChainPath.empty() ? "--sim-board-fault" : "--sim-chain") +
                " is for the embedded emulator; it cannot go with --node or --port";
        return false;
    }
    if (options.useFrontEnd && !options.simPcapPath.empty()) {
        error = "--sim-pcap is for the embedded emulator; it cannot go with --node or --port";
        return false;
    }
    if (words.empty()) {
        error = "no command given (try --help)";
        return false;
    }
    if (!parseCommandWords(words, RunNesting::kAllowRun, options.command, error)) return false;
    if (options.keepGoing && options.command.kind != CommandKind::kSvf) {
        error = "--keep-going is for the svf command";
        return false;
    }
    options.command.keepGoing = options.keepGoing;
    return true;
}

bool parseCommandWords(const std::vector<std::string>& words, RunNesting nesting,
                       HostCommand& command, std::string& error) {
    command = HostCommand{};
    for (size_t i = 0; i < words.size(); ++i) command.text += (i ? " " : "") + words[i];
    const CommandShape* shape = nullptr;
    for (const CommandShape& candidate : kCommands) {
        if (words[0] == candidate.name) shape = &candidate;
    }
    if (shape == nullptr) {
        error = "unknown command '" + words[0] + "'";
        return false;
    }
    const std::vector<std::string> args(words.begin() + 1, words.end());
    if (args.size() < shape->minArgs || args.size() > shape->maxArgs) {
        error = std::string("usage: ") + shape->usage;
        return false;
    }
    command.kind = shape->kind;
    switch (shape->kind) {
        case CommandKind::kScan:
        case CommandKind::kDiagnose:
            return true;
        case CommandKind::kIdcode:
            return parseUnsigned32(args[0], "device", kMaxDeviceIndex, command.device, error);
        case CommandKind::kIrScan:
        case CommandKind::kDrScan:
            return parseScanArguments(args, true, command, error);
        case CommandKind::kIrScanChain:
        case CommandKind::kDrScanChain:
            return parseScanArguments(args, false, command, error);
        case CommandKind::kState:
            return parseStateArguments(args, command, error);
        case CommandKind::kRun:
            if (nesting == RunNesting::kRefuseRun) {
                error = "a run script cannot run another script";
                return false;
            }
            command.file = args[0];
            return true;
        case CommandKind::kSvf:
            if (nesting == RunNesting::kRefuseRun) {
                error = "a run script cannot play an SVF file";
                return false;
            }
            command.file = args[0];
            return true;
    }
    return true;
}

bool parseRunScript(const std::string& text, const std::string& fileName,
                    std::vector<HostCommand>& commands, std::string& error) {
    commands.clear();
    std::istringstream lines(text);
    std::string line;
    for (unsigned lineNumber = 1; std::getline(lines, line); ++lineNumber) {
        const size_t comment = line.find('#');
        if (comment != std::string::npos) line.erase(comment);
        std::istringstream wordStream(line);
        std::vector<std::string> words;
        for (std::string word; wordStream >> word;) words.push_back(word);
        if (words.empty()) continue;
        HostCommand command;
        if (!parseCommandWords(words, RunNesting::kRefuseRun, command, error)) {
            error = fileName + ":" + std::to_string(lineNumber) + ": " + error;
            return false;
        }
        command.origin = fileName + ":" + std::to_string(lineNumber);
        commands.push_back(std::move(command));
    }
    if (commands.empty()) {
        error = fileName + ": no commands";
        return false;
    }
    return true;
}

bool parseIrLengthList(const std::string& text, std::vector<uint32_t>& lengths,
                       std::string& error) {
    lengths.clear();
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        const std::string item =
            text.substr(start, comma == std::string::npos ? comma : comma - start);
        uint32_t length = 0;
        if (!parseUnsigned32(item, "--irlen", kMaxIrLength, length, error)) return false;
        if (length == 0) {
            error = "--irlen: an IR length must be at least 1";
            return false;
        }
        if (lengths.size() > kMaxDeviceIndex) {
            error = "--irlen: more lengths than a chain can have devices";
            return false;
        }
        lengths.push_back(length);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

bool parseTapStateName(const std::string& text, uint32_t& state, std::string& error) {
    std::string name;
    for (char c : text) {
        const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        name += (upper == '-' || upper == '/') ? '_' : upper;
    }
    if (name.compare(0, 8, "CSEJTAG_") == 0) name.erase(0, 8);
    if (name == "RUN_IDLE") name = "IDLE";
    for (uint32_t i = 0; i < 16; ++i) {
        if (name == kStateNames[i] || name == kOpenOcdStateNames[i]) {
            state = i;
            return true;
        }
    }
    error = "unknown TAP state '" + text + "' (e.g. RUN_TEST_IDLE, SHIFT_DR, PAUSE_IR, DRPAUSE)";
    return false;
}

std::string tapStateName(uint32_t state) {
    return state < 16 ? std::string("CSEJTAG_") + kStateNames[state] : std::string("?");
}

std::string hostUsageText() {
    return R"(usage: cse-host [options] COMMAND [ARGS]

Drives the KORAVEN cable plug-in as a host tool chain does: open, lock, scan the chain, set the
IR lengths, run the command, unlock, close. Without --node and --port it starts the quorbit-sim
emulator in-process on 127.0.0.1 with a free port.

commands:
  scan                           list the devices of the chain (IDCODE fields, IR lengths, and
                                 the position OpenOCD gives each; device 0 is nearest TDI)
  idcode DEV                     read the IDCODE of device DEV (0 = nearest TDI) after a TAP reset
  irscan DEV BITS HEX            shift BITS bits (exactly the device's IR length) into the IR of
                                 device DEV, the others get BYPASS
  drscan DEV BITS HEX            shift BITS bits through the DR of device DEV, the others in
                                 BYPASS (after an irscan of the same session: use run)
  irscan-chain BITS HEX          shift BITS bits through the whole IR path (at most 122816)
  drscan-chain BITS HEX          shift BITS bits through the whole DR path
  state NAME [CLOCKS] [WAIT_US]  move the TAP to NAME (PAUSE_DR, Pause-DR or DRPAUSE), clock
                                 CLOCKS extra cycles there, then wait WAIT_US microseconds
  run FILE                       run the commands of FILE, one a line (# comments), in one session
  diagnose                       board bring-up checks (TDO, device count, IR lengths, IDCODEs,
                                 the link), each ok, warning or fault with its reason
  svf FILE                       play the SVF file FILE (- for standard input) through the whole
                                 chain and check every TDO; exit 1 at the first mismatch, 2 for a
                                 file that is malformed or uses what the cable cannot do
The scans print the captured TDO as hex and end in RUN_TEST_IDLE. HEX is a number whose least
significant bit is shifted first.

options:
  --lib PATH          the plug-in library (default: $CSE_HOST_PLUGIN, else the one beside
                      cse-host, else the installed one, ../lib/<multiarch>/koraven-cse-plugin/
                      from cse-host's folder)
  --node HOST         use the front end on HOST instead of the embedded emulator
  --port N            UDP port of that front end (default 20000)
  --sim-chain FILE    chain file for the embedded emulator (default: its demo chain)
  --sim-board-fault KIND  a board fault in the embedded emulator (as quorbit-sim --board-fault)
  --sim-pcap FILE     the embedded emulator writes every datagram of the link to FILE (pcap)
  --irlen L0,L1,...   IR lengths, device 0 first, checked against the chain (default: derived)
  --json              every result as one JSON document on stdout, errors included
  --quiet             nothing on stderr unless something fails
  -v, -vv, -vvv       show the library's log lines up to level 1, 2 or 3
  -vvvv               also level 4 and the entry and exit traces, indented by nesting
  --dump              show the library's buffer dumps
  --keep-going        svf: report every TDO mismatch instead of stopping at the first
  -h, --help          show this text
  --version           show the version (and the git commit it was built from)

environment:
  CSE_HOST_PLUGIN     the plug-in library to load when --lib is not given
  CSE_JTAGFILE        read by the plug-in: a file of IDCODEs, one a line, that stands for the scan

exit status: 0 success, 1 an operation failed (diagnose: a fault found), 2 usage error,
130 / 143 interrupted by SIGINT / SIGTERM (after unlocking, closing and disconnecting)
)";
}

}  // namespace csehost
