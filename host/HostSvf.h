// SPDX-License-Identifier: Apache-2.0
// cse-host's svf command over the SVF library (the playing is HostSession::playSvfCommand).
#pragma once

#include <string>

#include "host/HostArguments.h"

namespace csehost {

// Whether command.file ("-": standard input) can be read, before the session is opened; false with
// the reason.
[[nodiscard]] bool checkSvfInput(const HostCommand& command, std::string& error);

}  // namespace csehost
