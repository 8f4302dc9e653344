// SPDX-License-Identifier: Apache-2.0
#include "host/HostDefinitions.h"

namespace csehost {
namespace {

constexpr size_t kCommandColumn = 33;
constexpr size_t kOptionColumn = 22;

#if defined(_WIN32)
// quorbit-sim and the remote_bitbang bridge are POSIX-only: neither the embedded emulator nor
// serve is offered by the Windows build, so its --help lists only what works.
constexpr bool kEmbeddedEmulator = false;
constexpr bool kBridge = false;
constexpr bool kBashCompletion = false;  // no bash to complete for
constexpr const char* kLibHelp =
    "the plug-in library (default: $CSE_HOST_PLUGIN, else\n"
    "KoravenCsePlugin_14.dll beside cse-host.exe)";
#else
constexpr bool kEmbeddedEmulator = true;
constexpr bool kBridge = true;
constexpr bool kBashCompletion = true;
constexpr const char* kLibHelp =
    "the plug-in library (default: $CSE_HOST_PLUGIN, else the one beside\n"
    "cse-host, else the installed one, ../lib/<multiarch>/koraven-cse-plugin/\n"
    "from cse-host's folder)";
#endif

const std::vector<CommandDefinition> kCommands = {
    {"scan", CommandKind::kScan, 0, 0, "",
     "list the devices of the chain (IDCODE fields, IR lengths, and\n"
     "the position OpenOCD gives each; device 0 is nearest TDI)",
     Completion::kNothing},
    {"idcode", CommandKind::kIdcode, 1, 1, "DEV",
     "read the IDCODE of device DEV (0 = nearest TDI) after a TAP reset", Completion::kNothing},
    {"irscan", CommandKind::kIrScan, 3, 3, "DEV BITS HEX",
     "shift BITS bits (exactly the device's IR length) into the IR of\n"
     "device DEV, the others get BYPASS",
     Completion::kNothing},
    {"drscan", CommandKind::kDrScan, 3, 3, "DEV BITS HEX",
     "shift BITS bits through the DR of device DEV, the others in\n"
     "BYPASS (after an irscan of the same session: use run)",
     Completion::kNothing},
    {"irscan-chain", CommandKind::kIrScanChain, 2, 2, "BITS HEX",
     "shift BITS bits through the whole IR path (at most 122816)", Completion::kNothing},
    {"drscan-chain", CommandKind::kDrScanChain, 2, 2, "BITS HEX",
     "shift BITS bits through the whole DR path", Completion::kNothing},
    {"state", CommandKind::kState, 1, 3, "NAME [CLOCKS] [WAIT_US]",
     "move the TAP to NAME (PAUSE_DR, Pause-DR or DRPAUSE), clock\n"
     "CLOCKS extra cycles there, then wait WAIT_US microseconds",
     Completion::kTapState},
    {"run", CommandKind::kRun, 1, 1, "FILE",
     "run the commands of FILE (- for standard input), one a line\n"
     "(# comments), in one session",
     Completion::kFile},
    {"diagnose", CommandKind::kDiagnose, 0, 0, "",
     "board bring-up checks (TDO, device count, IR lengths, IDCODEs,\n"
     "the link), each ok, warning or fault with its reason",
     Completion::kNothing},
    {"svf", CommandKind::kSvf, 1, 1, "FILE",
     "play the SVF file FILE (- for standard input) through the whole\n"
     "chain and check every TDO; exit 1 at the first mismatch, 2 for a\n"
     "file that is malformed or uses what the cable cannot do",
     Completion::kFile},
    {"serve", CommandKind::kServe, 0, 0, "",
     "serve OpenOCD's remote_bitbang protocol on TCP (one client at a\n"
     "time) through the cable until SIGINT or SIGTERM",
     Completion::kNothing},
};

const std::vector<OptionDefinition> kOptions = {
    {"--lib", "PATH", OptionKind::kValue, "--lib PATH", kLibHelp, Completion::kFile, false},
    {"--node", "HOST", OptionKind::kValue, "--node HOST",
     "the front end on HOST (an IPv4 address or name; HOST:PORT gives\n"
     "the port too)",
     Completion::kNothing, false},
    {"--port", "N", OptionKind::kValue, "--port N", "UDP port of that front end (default 20000)",
     Completion::kNothing, false},
    {"--timeout", "SECONDS", OptionKind::kValue, "--timeout SECONDS",
     "the link's reply time-out, 1..3600 (default: the plug-in's)", Completion::kNothing, false},
    {"--packlen", "N", OptionKind::kValue, "--packlen N",
     "the link's initial packet length, 16..1472 (default: the plug-in's)", Completion::kNothing,
     false},
    {"--hostport", "N", OptionKind::kValue, "--hostport N",
     "the local UDP port of the link (default: a free one)", Completion::kNothing, false},
    {"--shifts", "MODE", OptionKind::kValue, "--shifts MODE",
     "split (default: walk in, data and walk out as requests of their own)\n"
     "or merged (a chain shift, an SVF statement or a navigation with clocks\n"
     "in one request; 'diagnose' says whether the front end agrees)",
     Completion::kNothing, false},
    {"--sim-chain", "FILE", OptionKind::kValue, "--sim-chain FILE",
     "chain file for the embedded emulator, or the name of an installed\n"
     "one such as long20 (default: its demo chain)",
     Completion::kChain, true},
    {"--sim-board-fault", "KIND", OptionKind::kValue, "--sim-board-fault KIND",
     "a board fault in the embedded emulator (as quorbit-sim --board-fault:\n"
     "tdo-stuck-0, tdo-stuck-1, tdo-echoes-tdi, open-after=N,\n"
     "ir-capture=N:VALUE)",
     Completion::kBoardFault, true},
    {"--sim-pcap", "FILE", OptionKind::kValue, "--sim-pcap FILE",
     "the embedded emulator writes every datagram of the link to FILE (pcap)", Completion::kFile,
     true},
    {"--sim-port", "N", OptionKind::kValue, "--sim-port N",
     "the embedded emulator listens on UDP port N (default: a free one)", Completion::kNothing,
     true},
    {"--irlen", "L0,L1,...", OptionKind::kValue, "--irlen L0,L1,...",
     "IR lengths, device 0 first, checked against the chain (default: derived)",
     Completion::kNothing, false},
    {"--json", "", OptionKind::kFlag, "--json",
     "every result as one JSON document on stdout, errors included", Completion::kNothing, false},
    {"--quiet", "", OptionKind::kFlag, "--quiet", "nothing on stderr unless something fails",
     Completion::kNothing, false},
    {"-v,--verbose", "", OptionKind::kCount, "-v, --verbose",
     "show the library's log lines up to level 1; given twice (-vv)\n"
     "or three times (-vvv), up to level 2 or 3",
     Completion::kNothing, false},
    {"", "", OptionKind::kFlag, "-vvvv",
     "also level 4 and the entry and exit traces, indented by nesting", Completion::kNothing,
     false},
    {"--dump", "", OptionKind::kFlag, "--dump", "show the library's buffer dumps",
     Completion::kNothing, false},
    {"--keep-going", "", OptionKind::kFlag, "--keep-going",
     "svf: report every TDO mismatch instead of stopping at the first; run: go on after a\n"
     "failing command (exit 1 at the end)",
     Completion::kNothing, false},
    {"--check-each", "", OptionKind::kFlag, "--check-each",
     "svf: check each scan's TDO before anything after it is played (the default\n"
     "with --shifts merged queues statements into one raw shift and checks them\n"
     "when its TDO is back)",
     Completion::kNothing, false},
    {"--retries", "N", OptionKind::kValue, "--retries N",
     "svf, run: after a failed call load the instruction last set again and\n"
     "repeat the failed statement or command, at most N times (default 0)",
     Completion::kNothing, false},
    {"--rbb-port", "N", OptionKind::kValue, "--rbb-port N",
     "serve: TCP port (default 3335; 0 picks a free one, printed)", Completion::kNothing, false},
    {"--rbb-bind", "ADDR", OptionKind::kValue, "--rbb-bind ADDR",
     "serve: address to listen on (default 127.0.0.1; the protocol has no\n"
     "authentication)",
     Completion::kNothing, false},
    {"-h,--help", "", OptionKind::kFlag, "-h, --help", "show this text", Completion::kNothing,
     false},
    {"--version", "", OptionKind::kFlag, "--version",
     "show the version (and the git commit it was built from)", Completion::kNothing, false},
    {"--bash-completion", "", OptionKind::kFlag, "--bash-completion",
     "print the bash completion script (the packages install it)", Completion::kNothing, false},
};

const std::vector<const char*> kBoardFaultKinds = {"tdo-stuck-0", "tdo-stuck-1", "tdo-echoes-tdi",
                                                   "open-after=", "ir-capture="};

const char* const kTapStateWords =
    "TEST_LOGIC_RESET RUN_TEST_IDLE SELECT_DR_SCAN CAPTURE_DR SHIFT_DR EXIT1_DR PAUSE_DR EXIT2_DR "
    "UPDATE_DR SELECT_IR_SCAN CAPTURE_IR SHIFT_IR EXIT1_IR PAUSE_IR EXIT2_IR UPDATE_IR";

// "  left" padded to the column (two spaces when longer), then the help lines, each continuation
// line indented to the column.
std::string row(const std::string& left, const std::string& help, size_t column) {
    std::string text = "  " + left;
    text += text.size() + 1 < column ? std::string(column - text.size(), ' ') : "  ";
    for (char c : help) {
        text += c;
        if (c == '\n') text += std::string(column, ' ');
    }
    return text + "\n";
}

std::string words(const std::vector<std::string>& list) {
    std::string text;
    for (const std::string& word : list) text += (text.empty() ? "" : " ") + word;
    return text;
}

}  // namespace

const std::vector<CommandDefinition>& hostCommands() {
    static const std::vector<CommandDefinition> commands = [] {
        std::vector<CommandDefinition> offered;
        for (const CommandDefinition& command : kCommands) {
            if (kBridge || command.kind != CommandKind::kServe) offered.push_back(command);
        }
        return offered;
    }();
    return commands;
}

std::vector<OptionDefinition> hostOptions() {
    std::vector<OptionDefinition> options;
    for (const OptionDefinition& option : kOptions) {
        const bool bridgeOption = std::string(option.names).rfind("--rbb-", 0) == 0;
        const bool completionOption = std::string(option.names) == "--bash-completion";
        if ((kEmbeddedEmulator || !option.embeddedOnly) && (kBridge || !bridgeOption) &&
            (kBashCompletion || !completionOption)) {
            options.push_back(option);
        }
    }
    return options;
}

bool hasEmbeddedEmulator() {
    return kEmbeddedEmulator;
}

const std::vector<const char*>& boardFaultKinds() {
    return kBoardFaultKinds;
}

std::string hostUsageText() {
    std::string text = R"(Usage: cse-host [options] COMMAND [ARGS]

Drives the KORAVEN cable plug-in as a host tool chain does: open, lock, scan the chain, set the
IR lengths, run the command, unlock, close. )";
    text += kEmbeddedEmulator ? "Without --node and --port it starts the quorbit-sim\n"
                                "emulator in-process on 127.0.0.1 with a free port.\n"
                              : "This build has no embedded emulator: give --node\n"
                                "and --port of a running front end.\n";
    text += "\nCommands:\n";
    for (const CommandDefinition& command : hostCommands()) {
        const std::string left =
            std::string(command.name) + (*command.arguments ? " " : "") + command.arguments;
        text += row(left, command.help, kCommandColumn);
    }
    text +=
        "The scans print the captured TDO as hex and end in RUN_TEST_IDLE. HEX is a number "
        "whose least\nsignificant bit is shifted first.\n\nOptions:\n";
    for (const OptionDefinition& option : hostOptions()) {
        if (*option.display) text += row(option.display, option.help, kOptionColumn);
    }
    text += R"(
environment:
  CSE_HOST_PLUGIN     the plug-in library to load when --lib is not given
  CSE_JTAGFILE        read by the plug-in: a file of IDCODEs, one a line, that stands for the scan

exit status: 0 success, 1 an operation failed (diagnose: a fault found), 2 usage error,
130 / 143 interrupted by SIGINT / SIGTERM (after unlocking, closing and disconnecting)
)";
    return text;
}

std::string bashCompletionScript() {
    std::vector<std::string> optionWords;
    std::vector<std::string> fileOptions;
    std::vector<std::string> valueOptions;
    std::vector<std::string> faultOptions;
    std::vector<std::string> chainOptions;
    for (const OptionDefinition& option : hostOptions()) {
        std::string names = option.names;
        for (size_t start = 0; !names.empty() && start != std::string::npos;) {
            const size_t comma = names.find(',', start);
            const std::string name = names.substr(start, comma - start);
            optionWords.push_back(name);
            if (option.kind == OptionKind::kValue) {
                (option.completion == Completion::kFile         ? fileOptions
                 : option.completion == Completion::kChain      ? chainOptions
                 : option.completion == Completion::kBoardFault ? faultOptions
                                                                : valueOptions)
                    .push_back(name);
            }
            start = comma == std::string::npos ? comma : comma + 1;
        }
    }
    std::vector<std::string> commandWords;
    std::vector<std::string> fileCommands;
    std::vector<std::string> stateCommands;
    for (const CommandDefinition& command : hostCommands()) {
        commandWords.push_back(command.name);
        if (command.firstArgument == Completion::kFile) fileCommands.push_back(command.name);
        if (command.firstArgument == Completion::kTapState) stateCommands.push_back(command.name);
    }
    std::vector<std::string> faults(kBoardFaultKinds.begin(), kBoardFaultKinds.end());
    const auto pattern = [](const std::vector<std::string>& list) {
        std::string text;
        for (const std::string& word : list) text += (text.empty() ? "" : " | ") + word;
        return text.empty() ? std::string("--never--") : text;
    };
    // Plain bash (no bash-completion helpers needed). Bash splits "--opt=value" at the "=".
    std::string script =
        "# bash completion for cse-host, printed by cse-host --bash-completion from the same\n"
        "# definitions as its options, commands and --help.\n"
        "_cse_host() {\n"
        "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}\n"
        "    if [[ $cur == = ]]; then\n"
        "        cur=''\n"
        "    elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then\n"
        "        prev=${COMP_WORDS[COMP_CWORD-2]}\n"
        "    fi\n"
        "    COMPREPLY=()\n"
        "    case $prev in\n"
        "        " +
        pattern(fileOptions) +
        ")\n"
        "            compopt -o filenames 2>/dev/null\n"
        "            COMPREPLY=($(compgen -f -- \"$cur\"))\n"
        "            return\n"
        "            ;;\n"
        "        " +
        pattern(chainOptions) +
        ")\n"
        "            # a chain file, or the name of one installed beside this cse-host\n"
        "            local chains names='' file\n"
        "            chains=$(command -v \"${COMP_WORDS[0]}\") && chains=${chains%/*}/../share/quorbit-sim\n"
        "            for file in \"$chains\"/*.chain; do\n"
        "                [[ -e $file ]] && file=${file##*/} && names+=\" ${file%.chain}\"\n"
        "            done\n"
        "            compopt -o filenames 2>/dev/null\n"
        "            COMPREPLY=($(compgen -f -- \"$cur\") $(compgen -W \"$names\" -- \"$cur\"))\n"
        "            return\n"
        "            ;;\n"
        "        " +
        pattern(faultOptions) +
        ")\n"
        "            COMPREPLY=($(compgen -W '" +
        words(faults) +
        "' -- \"$cur\"))\n"
        "            [[ ${COMPREPLY[0]} == *= ]] && compopt -o nospace 2>/dev/null\n"
        "            return\n"
        "            ;;\n"
        "        " +
        pattern(valueOptions) +
        ")\n"
        "            return\n"
        "            ;;\n"
        "    esac\n"
        "    if [[ $cur == -* ]]; then\n"
        "        COMPREPLY=($(compgen -W '" +
        words(optionWords) +
        "' -- \"$cur\"))\n"
        "        return\n"
        "    fi\n"
        "    # The command is the first word that is neither an option nor an option's value.\n"
        "    local i word command='' after=0\n"
        "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
        "        word=${COMP_WORDS[i]}\n"
        "        case $word in\n"
        "            " +
        pattern(fileOptions) + " | " + pattern(chainOptions) + " | " + pattern(faultOptions) +
        " | " + pattern(valueOptions) +
        ")\n"
        "                ((i++))\n"
        "                [[ ${COMP_WORDS[i]} == = ]] && ((i++))\n"
        "                ;;\n"
        "            -*) ;;\n"
        "            *)\n"
        "                if [[ -z $command ]]; then command=$word; else ((after++)); fi\n"
        "                ;;\n"
        "        esac\n"
        "    done\n"
        "    if [[ -z $command ]]; then\n"
        "        COMPREPLY=($(compgen -W '" +
        words(commandWords) +
        "' -- \"$cur\"))\n"
        "    elif ((after == 0)); then\n"
        "        case $command in\n"
        "            " +
        pattern(fileCommands) +
        ")\n"
        "                compopt -o filenames 2>/dev/null\n"
        "                COMPREPLY=($(compgen -f -- \"$cur\"))\n"
        "                ;;\n"
        "            " +
        pattern(stateCommands) +
        ")\n"
        "                COMPREPLY=($(compgen -W '" +
        kTapStateWords +
        "' -- \"$cur\"))\n"
        "                ;;\n"
        "        esac\n"
        "    fi\n"
        "}\n"
        "complete -F _cse_host cse-host\n";
    return script;
}

}  // namespace csehost
