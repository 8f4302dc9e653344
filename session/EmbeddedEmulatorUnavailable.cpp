// SPDX-License-Identifier: Apache-2.0
// The Windows build has no embedded emulator (quorbit-sim's sockets are POSIX-only): without
// --node and --port it says so and stops.
#include "session/EmbeddedEmulator.h"

namespace csesession {

EmbeddedEmulator::EmbeddedEmulator() = default;

EmbeddedEmulator::~EmbeddedEmulator() = default;

EmbeddedEmulator::StartResult EmbeddedEmulator::start(const std::string& chainPath,
                                                      const std::string& boardFaults,
                                                      std::string& error) {
    (void)chainPath;
    (void)boardFaults;
    error = "this build has no embedded emulator: give --node (and --port) of a running front end";
    return StartResult::kUnavailable;
}

uint16_t EmbeddedEmulator::port() const {
    return 0;
}

}  // namespace csesession
