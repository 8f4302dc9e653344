// Loading an SVF file for cse-host's svf command (the playing is HostSession::playSvfCommand).
#pragma once

#include <string>

#include "host/HostArguments.h"

namespace csehost {

// Reads command.file ("-": standard input) and parses it into command.svf; false with
// "FILE:LINE: reason" for a file that cannot be read, is malformed or asks for what the cable
// cannot do.
[[nodiscard]] bool loadSvfProgram(HostCommand& command, std::string& error);

}  // namespace csehost
