// SPDX-License-Identifier: Apache-2.0
#include "session/NodeResolution.h"

#include "session/HexBits.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#endif

namespace csesession {

bool nodeResolves(const std::string& node) {
#if defined(_WIN32)
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return true;  // let the plug-in report it
#endif
    addrinfo hints{};
    hints.ai_family = AF_INET;  // the link speaks IPv4 only
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const bool resolves = getaddrinfo(node.c_str(), nullptr, &hints, &found) == 0;
    if (found != nullptr) freeaddrinfo(found);
#if defined(_WIN32)
    WSACleanup();
#endif
    return resolves;
}

bool splitNode(const std::string& node, std::string& host, std::optional<uint16_t>& port,
               std::string& error) {
    port.reset();
    const size_t colon = node.find(':');
    if (colon == std::string::npos) {
        host = node;
        return true;
    }
    // Two colons or brackets: an IPv6 literal, which no front end of the link can be.
    if (node.front() == '[' || node.find(':', colon + 1) != std::string::npos) {
        error = "node " + node +
                " is an IPv6 address: the link is IPv4 (give an IPv4 address or "
                "a host name)";
        return false;
    }
    host = node.substr(0, colon);
    uint64_t value = 0;
    if (host.empty() || !parseDecimal(node.substr(colon + 1), 65535, value, error) || value == 0) {
        error = "node " + node + " is not HOST or HOST:PORT with a port of 1..65535";
        return false;
    }
    port = static_cast<uint16_t>(value);
    return true;
}

}  // namespace csesession
