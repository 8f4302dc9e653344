// SPDX-License-Identifier: Apache-2.0
// cse-host's commands and options, defined once: the command-line parser, the run-script parser,
// --help (and so the man page) and the bash completion are all built from these tables.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "host/HostArguments.h"

namespace csehost {

// What the shell offers for a word.
// kChain: a file, or the name of a chain installed beside cse-host (../share/quorbit-sim/).
enum class Completion { kNothing, kFile, kChain, kBoardFault, kTapState };

struct CommandDefinition {
    const char* name;
    CommandKind kind;
    size_t minArgs;
    size_t maxArgs;
    const char* arguments;  // "DEV BITS HEX"
    const char* help;       // lines after the first are continuation lines
    Completion firstArgument;
};

enum class OptionKind { kValue, kFlag, kCount };

struct OptionDefinition {
    const char* names;  // as CLI11 takes them: "-v,--verbose", "--lib"
    const char* value;  // "PATH"; empty for flags
    OptionKind kind;
    const char* display;  // the left column of --help; empty: not shown
    const char* help;     // lines after the first are continuation lines
    Completion completion;
    bool embeddedOnly;  // an option of the embedded emulator (none on Windows)
};

[[nodiscard]] const std::vector<CommandDefinition>& hostCommands();
// The options this build has (the Windows build has no embedded emulator).
[[nodiscard]] std::vector<OptionDefinition> hostOptions();
// Whether this build has the embedded emulator.
[[nodiscard]] bool hasEmbeddedEmulator();

// quorbit-sim's board fault kinds, as --sim-board-fault takes them.
[[nodiscard]] const std::vector<const char*>& boardFaultKinds();

// A bash completion script for cse-host.
[[nodiscard]] std::string bashCompletionScript();

}  // namespace csehost
