// SPDX-License-Identifier: Apache-2.0
// The link's configuration items: "NODE=", "PORT=", "HOSTPORT=", "PACKLEN=", "TIMEOUT=".
#include <cstdint>
#include <cstring>

#include "remote/LinkRoutines.h"
#include "remote/RemoteLink.h"
#include "remote/RemoteLinkState.h"

namespace {

constexpr size_t kConfigLineSize = 256;  // 255 characters and the NUL

bool startsWith(const char* line, const char* key, const char** rest) noexcept {
    const size_t keyLength = std::strlen(key);
    if (std::strncmp(line, key, keyLength) != 0) return false;
    *rest = line + keyLength;
    return true;
}

// A name that does not fit is refused rather than cut: a cut name would reach another host.
int takeNodeName(const char* name) noexcept {
    const size_t length = std::strlen(name);
    if (length >= kNodeNameSize) return -1;
    std::memcpy(gRemoteLink.nodeName, name, length + 1);
    return 1;
}

int takePort(const char* text, uint16_t* port) noexcept {
    const int value = LinkParseDecimal(text);
    if (value < 0) return -1;
    *port = static_cast<uint16_t>(value & 0xFFFF);
    return 1;
}

// Below 16 bytes the handshake cannot carry its magic; above 1472 it overflows its buffers.
int takePacketLength(const char* text) noexcept {
    const int value = LinkParseDecimal(text);
    if (value < kMinPacketLength || value > kMaxPacketLength) return -1;
    gRemoteLink.packetLength = value;
    return 1;
}

int takeReplyTimeout(const char* text) noexcept {
    const int value = LinkParseDecimal(text);
    if (value < 0) return -1;
    gRemoteLink.replyTimeoutSeconds = value;
    return 1;
}

}  // namespace

int LinkParseDecimal(const char* text) noexcept {
    int64_t value = 0;
    for (const char* digit = text; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') return -1;
        value = value * 10 + (*digit - '0');
        if (value > INT32_MAX) return -1;  // does not fit the 32-bit fields
    }
    return static_cast<int>(value);
}

int LinkParseConfigLine(const char* line) noexcept {
    const char* rest = nullptr;
    if (startsWith(line, "NODE=", &rest)) return takeNodeName(rest);
    if (startsWith(line, "PORT=", &rest)) return takePort(rest, &gRemoteLink.peerPort);
    if (startsWith(line, "HOSTPORT=", &rest)) return takePort(rest, &gRemoteLink.localPort);
    if (startsWith(line, "PACKLEN=", &rest)) return takePacketLength(rest);
    if (startsWith(line, "TIMEOUT=", &rest)) return takeReplyTimeout(rest);
    return -1;
}

int KRV_SetConfigItem(const char* key, const char* value) {
    if (key == nullptr || value == nullptr) return -1;
    const size_t keyLength = std::strlen(key);
    const size_t valueLength = std::strlen(value);
    if (keyLength + valueLength >= kConfigLineSize) return -1;  // never cut a line
    char line[kConfigLineSize] = {};
    std::memcpy(line, key, keyLength);
    std::memcpy(line + keyLength, value, valueLength + 1);
    return LinkParseConfigLine(line) == 1 ? 0 : -1;
}
