// Single datagrams to and from the peer, and the names of socket errors.
#include <chrono>
#include <cstring>

#include "remote/LinkRoutines.h"
#include "remote/RemoteLinkState.h"

namespace {

struct SocketErrorName {
    int error;
    const char* name;
};

constexpr SocketErrorName kSocketErrorNames[] = {
    {kLinkErrorInterrupted, " (INTR)"},
    {kLinkErrorTooManySockets, " (WSAEMFILE)"},
    {kLinkErrorInProgress, " (INPROGRESS)"},
    {kLinkErrorProtocolType, " (WSAEPROTOTYPE)"},
    {kLinkErrorProtocolNotSupported, " (WSAEPROTONOSUPPORT)"},
    {kLinkErrorSocketTypeNotSupported, " (WSAESOCKTNOSUPPORT)"},
    {kLinkErrorFamilyNotSupported, " (WSAEAFNOSUPPORT)"},
    {kLinkErrorNetworkDown, " (NETDOWN)"},
    {kLinkErrorNoBuffers, " (WSAENOBUFS)"},
    {kLinkErrorNotInitialised, " (NOTINITIALISED)"},
    {kLinkErrorHostNotFound, " (HOST_NOT_FOUND)"},
    {kLinkErrorTryAgain, " (TRY_AGAIN)"},
    {kLinkErrorNoRecovery, " (NO_RECOVERY)"},
    {kLinkErrorNoData, " (NO_DATA)"},
};
static_assert(sizeof kSocketErrorNames / sizeof kSocketErrorNames[0] == 14);

using Clock = std::chrono::steady_clock;

int64_t microsUntil(Clock::time_point deadline) noexcept {
    return std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
}

}  // namespace

LinkWait LinkAwaitDatagram(int64_t timeoutMicros, uint8_t* buffer, int size, int* length) noexcept {
    const LinkSocketOps& sockets = LinkSockets();
    const Clock::time_point deadline = Clock::now() + std::chrono::microseconds(timeoutMicros);
    int64_t remainingMicros = timeoutMicros;
    for (;;) {
        const int ready = sockets.waitReadable(gRemoteLink.socket, remainingMicros);
        if (ready < 0) return LinkWait::Failed;
        if (ready == 0) return LinkWait::TimedOut;
        LinkAddress from{};
        const int received = sockets.receiveFrom(gRemoteLink.socket, buffer, size, &from);
        if (received < 0) return LinkWait::Failed;
        // Nobody but the peer may answer in the debugger's name.
        if (from == gRemoteLink.peerAddress) {
            if (received > size) return LinkWait::Failed;
            *length = received;
            return LinkWait::Received;
        }
        remainingMicros = microsUntil(deadline);
        if (remainingMicros <= 0) return LinkWait::TimedOut;
    }
}

int LinkReceiveDatagram(int64_t timeoutMicros, uint8_t* buffer, int size) noexcept {
    int length = 0;
    switch (LinkAwaitDatagram(timeoutMicros, buffer, size, &length)) {
        case LinkWait::Received:
            return length;
        case LinkWait::TimedOut:
            return 0;
        case LinkWait::Failed:
            break;
    }
    return -1;
}

int LinkSendDatagram(const uint8_t* data, int length) noexcept {
    return LinkSockets().sendTo(gRemoteLink.socket, data, length, gRemoteLink.peerAddress);
}

void LinkAppendSocketError(char* text) noexcept {
    const int error = LinkSockets().lastError();
    for (const SocketErrorName& entry : kSocketErrorNames) {
        if (entry.error != error) continue;
        const size_t used = std::strlen(text);
        const size_t nameLength = std::strlen(entry.name);
        if (used + nameLength < kLinkTextSize) std::memcpy(text + used, entry.name, nameLength + 1);
        return;
    }
}
