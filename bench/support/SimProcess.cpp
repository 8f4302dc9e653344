// SPDX-License-Identifier: Apache-2.0
#include "support/SimProcess.h"

#include <cstdlib>

#include "support/Placement.h"

namespace krvbench {

int portAfterColon(const std::string& endpoint) {
    const size_t colon = endpoint.rfind(':');
    if (colon == std::string::npos || colon + 1 >= endpoint.size()) return -1;
    const long port = std::strtol(endpoint.c_str() + colon + 1, nullptr, 10);
    return port > 0 && port <= 65535 ? static_cast<int>(port) : -1;
}

bool SimProcess::start(int packetLength, std::string& error) {
    const std::vector<std::string> argv = {executableDirectory() + "/quorbit-sim", "--port", "0",
                                           "--packlen", std::to_string(packetLength)};
    if (!child_.start(argv, processPlacement().peerCpu, error)) return false;
    std::string endpoint;
    if (!child_.awaitLine("listening on ", endpoint, error)) return false;
    const int port = portAfterColon(endpoint);
    if (port < 0) {
        error = "quorbit-sim announced no port: " + endpoint;
        return false;
    }
    udpPort_ = static_cast<uint16_t>(port);
    return true;
}

}  // namespace krvbench
