// SPDX-License-Identifier: Apache-2.0
// cse-host: loads the plug-in library, registers its callbacks and drives one session with it.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "host/HostArguments.h"
#include "host/HostDefinitions.h"
#include "host/HostSession.h"
#include "host/HostSvf.h"
#include "host/InterruptWatch.h"
#include "host/ResultWriter.h"
#include "krv/ProjectVersion.h"

namespace csehost {
namespace {

constexpr std::streamsize kMaxScriptBytes = 1 << 20;
// Run scripts at least this long show which line they are on (stderr a terminal, stdout not).
constexpr size_t kProgressCommands = 200;

enum class HelpHint { kShown, kOmitted };  // a file that cannot be read is no matter for --help

int usageError(ResultWriter& writer, const std::string& error, HelpHint hint = HelpHint::kShown) {
    std::fprintf(stderr, "cse-host: %s%s\n", error.c_str(),
                 hint == HelpHint::kShown ? " (try 'cse-host --help')" : "");
    writer.error(error);
    writer.finish(static_cast<int>(Outcome::kUsage));
    return static_cast<int>(Outcome::kUsage);
}

// Reads one byte more than the limit at most, so an endless stream (/dev/zero) is refused too.
bool readScript(const std::string& path, std::string& text, std::string& error) {
    const bool standardInput = path == "-";
    const std::string name = standardInput ? "<stdin>" : path;
    struct stat status = {};
    if (!standardInput && stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
        error = "the script " + path + " is a directory";
        return false;
    }
    std::ifstream file;
    if (!standardInput) file.open(path, std::ios::binary);
    std::istream& in = standardInput ? std::cin : file;
    if (!in) {
        error = "cannot read the script " + path + ": " + std::strerror(errno);
        return false;
    }
    text.assign(static_cast<size_t>(kMaxScriptBytes) + 1, '\0');
    in.read(&text[0], kMaxScriptBytes + 1);
    text.resize(static_cast<size_t>(in.gcount()));
    if (static_cast<std::streamsize>(text.size()) > kMaxScriptBytes) {
        error = "the script " + name + " is larger than 1 MiB";
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
           parseRunScript(text, command.file == "-" ? "<stdin>" : command.file, commands, error);
}

int runSession(const HostOptions& options, const std::vector<HostCommand>& commands,
               ResultWriter& writer) {
    HostSession session(writer);
    Outcome outcome = session.begin(options);
    const bool progress = commands.size() >= kProgressCommands && !options.quiet &&
                          isatty(STDERR_FILENO) == 1 && isatty(STDOUT_FILENO) != 1;
    size_t done = 0;
    // With --keep-going a failed command does not end the run; the first failure sets the exit.
    const bool goOn = options.keepGoing && options.command.kind == CommandKind::kRun;
    const bool begun = outcome == Outcome::kSuccess;
    while (begun && done < commands.size() && (goOn || outcome == Outcome::kSuccess)) {
        if (InterruptWatch::received() != 0) break;
        const Outcome one = session.execute(commands[done++]);
        if (outcome == Outcome::kSuccess) outcome = one;
        if (progress)
            std::fprintf(stderr, "\rcse-host: %zu of %zu commands", done, commands.size());
    }
    if (progress) std::fputc('\n', stderr);
    std::fflush(stdout);
    const Outcome closing = session.finish();
    if (InterruptWatch::received() != 0) {
        const int signal = InterruptWatch::received();
        // What closing did, as finish() found it (its failure is on the line above).
        std::fprintf(stderr, "cse-host: %s after %zu of %zu commands; %s\n",
                     signal == SIGTERM ? "terminated" : "interrupted", done, commands.size(),
                     closing == Outcome::kSuccess
                         ? "the TAP was released and the link closed"
                         : "releasing the TAP and closing the link failed (see above)");
        writer.error(signal == SIGTERM ? "terminated" : "interrupted");
        writer.finish(InterruptWatch::exitStatus());
        return InterruptWatch::exitStatus();
    }
    const int status = static_cast<int>(outcome != Outcome::kSuccess ? outcome : closing);
    writer.finish(status);
    return status;
}

int run(const std::vector<std::string>& args) {
    HostOptions options;
    std::string error;
    const bool json = std::find(args.begin(), args.end(), "--json") != args.end();
    const bool quiet = std::find(args.begin(), args.end(), "--quiet") != args.end();
    const std::unique_ptr<ResultWriter> writer =
        json ? makeJsonWriter(stdout) : makeTextWriter(stdout, quiet);
    if (!parseHostArguments(args, options, error)) return usageError(*writer, error);
    if (options.help) {
        std::fputs(hostUsageText().c_str(), stdout);
        return 0;
    }
    if (options.bashCompletion) {
        std::fputs(bashCompletionScript().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("cse-host %s%s%s\n", KRV_PROJECT_VERSION, *KRV_GIT_COMMIT ? " git " : "",
                    KRV_GIT_COMMIT);
        return 0;
    }
    if (options.command.kind == CommandKind::kSvf && !checkSvfInput(options.command, error)) {
        std::fprintf(stderr, "cse-host: %s\n", error.c_str());  // the file is at fault, not usage
        writer->error(error);
        writer->finish(static_cast<int>(Outcome::kUsage));
        return static_cast<int>(Outcome::kUsage);
    }
    std::vector<HostCommand> commands;
    if (!collectCommands(options.command, commands, error)) {
        return usageError(*writer, error, HelpHint::kOmitted);
    }
    // Before the emulator's thread starts, so that it inherits the blocked signals.
    InterruptWatch interrupts;
    return runSession(options, commands, *writer);
}

}  // namespace
}  // namespace csehost

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return csehost::run(args);
}
