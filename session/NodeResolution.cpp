#include "session/NodeResolution.h"

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

}  // namespace csesession
