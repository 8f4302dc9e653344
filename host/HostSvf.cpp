// cse-host's svf command: the file is read and parsed before the session, then played in it.
#include "host/HostSvf.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

#include "host/HostSession.h"
#include "host/InterruptWatch.h"
#include "host/SvfPlayer.h"

namespace csehost {
namespace {

constexpr size_t kMaxSvfFileBytes = size_t{1} << 30;

// Read in pieces so that an oversized input is refused without being held whole.
bool readAll(std::istream& in, const std::string& name, std::string& text, std::string& error) {
    std::vector<char> chunk(1 << 16);
    text.clear();
    while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
        text.append(chunk.data(), static_cast<size_t>(in.gcount()));
        if (text.size() > kMaxSvfFileBytes) {
            error = "the SVF file " + name + " is larger than 1 GiB";
            return false;
        }
    }
    if (in.bad()) {
        error = "cannot read the SVF file " + name;
        return false;
    }
    return true;
}

}  // namespace

bool loadSvfProgram(HostCommand& command, std::string& error) {
    auto program = std::make_shared<SvfProgram>();
    program->fileName = command.file == "-" ? "<stdin>" : command.file;
    std::string text;
    if (command.file == "-") {
        if (!readAll(std::cin, program->fileName, text, error)) return false;
    } else {
        std::ifstream file(command.file, std::ios::binary);
        if (!file) {
            error = "cannot read the SVF file " + command.file;
            return false;
        }
        if (!readAll(file, command.file, text, error)) return false;
    }
    program->fileBytes = text.size();
    SvfError parseError;
    if (!parseSvf(text, program->commands, parseError)) {
        error =
            program->fileName + ":" + std::to_string(parseError.line) + ": " + parseError.message;
        return false;
    }
    command.svf = std::move(program);
    return true;
}

Outcome HostSession::playSvfCommand(const HostCommand& command) {
    if (!command.svf) return usage("'" + command.text + "': the SVF file was not loaded");
    SvfPlayOptions options;
    options.fileName = command.svf->fileName;
    options.fileBytes = command.svf->fileBytes;
    options.keepGoing = command.keepGoing;
    options.progress = ::isatty(STDERR_FILENO) != 0;
    options.stopRequested = [] { return InterruptWatch::received() != 0; };
    const SvfPlayResult played = playSvf(*plugin_, command.svf->commands, options, stderr);
    if (played.outcome == SvfPlayResult::Outcome::kFailed) return failed(played.failure);
    const std::string summary =
        options.fileName + ": " + std::to_string(played.scans) + " scans, " +
        std::to_string(played.checks) + " TDO checks, " + std::to_string(played.mismatches) +
        (played.mismatches == 1 ? " mismatch" : " mismatches");
    writer_.value(command.text, command.origin, "summary", summary, 0);
    if (played.mismatches != 0) writer_.error(summary);
    return played.outcome == SvfPlayResult::Outcome::kPassed ? Outcome::kSuccess : Outcome::kFailed;
}

}  // namespace csehost
