// cse-host: loads the plug-in library, registers its callbacks and drives one session with it.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/EmbeddedEmulator.h"
#include "host/HostArguments.h"
#include "host/HostOutput.h"
#include "host/HostSession.h"
#include "host/PluginExports.h"
#include "host/PluginLoader.h"

namespace csehost {
namespace {

constexpr std::streamsize kMaxScriptBytes = 1 << 20;

int usageError(const std::string& error) {
    std::fprintf(stderr, "cse-host: %s\ncse-host: try 'cse-host --help'\n", error.c_str());
    return static_cast<int>(Outcome::kUsage);
}

int failure(const std::string& error) {
    std::fprintf(stderr, "cse-host: %s\n", error.c_str());
    return static_cast<int>(Outcome::kFailed);
}

bool readScript(const std::string& path, std::string& text, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read the script " + path;
        return false;
    }
    std::ostringstream content;
    content << file.rdbuf();
    text = content.str();
    if (static_cast<std::streamsize>(text.size()) > kMaxScriptBytes) {
        error = "the script " + path + " is larger than 1 MiB";
        return false;
    }
    return true;
}

// The commands to run: the one given, or the lines of its script.
bool collectCommands(const HostCommand& command, std::vector<HostCommand>& commands,
                     std::string& error) {
    if (command.kind != CommandKind::kRun) {
        commands.assign(1, command);
        return true;
    }
    std::string text;
    return readScript(command.file, text, error) &&
           parseRunScript(text, command.file, commands, error);
}

Outcome runSession(const PluginExports& exports, const HostOptions& options,
                   const std::string& node, const std::string& port,
                   const std::vector<HostCommand>& commands) {
    HostSession session(exports, options.verbosity, stdout);
    Outcome outcome = session.begin(node, port, options);
    for (size_t i = 0; outcome == Outcome::kSuccess && i < commands.size(); ++i) {
        outcome = session.execute(commands[i]);
    }
    std::fflush(stdout);
    const Outcome closing = session.finish();
    return outcome != Outcome::kSuccess ? outcome : closing;
}

int run(const std::vector<std::string>& args) {
    HostOptions options;
    std::string error;
    if (!parseHostArguments(args, options, error)) return usageError(error);
    if (options.help) {
        std::fputs(hostUsageText().c_str(), stdout);
        return 0;
    }
    std::vector<HostCommand> commands;
    if (!collectCommands(options.command, commands, error)) return usageError(error);

    const std::string libraryPath = options.libraryPath.empty()
                                        ? executableDirectory() + pluginFileName()
                                        : options.libraryPath;
    PluginLibrary library;
    PluginExports exports;
    if (!library.open(libraryPath, error)) return failure("cannot load the plug-in: " + error);
    if (!findPluginExports(library, exports, error))
        return failure(error + " (" + libraryPath + ")");

    EmbeddedEmulator emulator;
    std::string node = options.node;
    std::string port = options.port;
    if (!options.useFrontEnd) {
        emulator.setCapture(options.simPcapPath);
        switch (emulator.start(options.simChainPath, error)) {
            case EmbeddedEmulator::StartResult::kBadChain:
                return usageError(error);
            case EmbeddedEmulator::StartResult::kFailed:
                return failure("cannot start the embedded quorbit-sim: " + error);
            case EmbeddedEmulator::StartResult::kStarted:
                break;
        }
        node = emulator.node();
        port = std::to_string(emulator.port());
        std::fprintf(
            stderr, "cse-host: embedded quorbit-sim on %s:%s with %s\n", node.c_str(), port.c_str(),
            options.simChainPath.empty() ? "the demo chain"
                                         : ("the chain of " + options.simChainPath).c_str());
    }

    OutputSettings output;
    output.verbosity = options.verbosity;
    output.dump = options.dump;
    configureOutput(output);
    exports.loaded();
    exports.setCallbacks(&hostCallbacks());
    const Outcome outcome = runSession(exports, options, node, port, commands);
    exports.unloaded();
    return static_cast<int>(outcome);
}

}  // namespace
}  // namespace csehost

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return csehost::run(args);
}
