// SPDX-License-Identifier: Apache-2.0
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

LinkDeadline nowMicros() noexcept {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
        .count();
}

bool isTaken(const LinkAddress& from, LinkSource source) noexcept {
    if (source == LinkSource::Answerer) return from == gRemoteLink.answerAddress;
    return from.port == gRemoteLink.peerAddress.port;
}

// A signal cut the wait short, or Windows reports that an earlier datagram met a closed port:
// neither says anything about the peer, so the wait goes on for the time left.
bool isPassing(int error) noexcept {
    return error == kLinkErrorInterrupted || error == kLinkErrorConnectionReset;
}

// The platform's own receive that waits by itself, while the receive in use is the platform's too
// (a test's or recorder's must see every datagram) and so are opening and closing (the platform
// layer remembers the time-out it set on the socket it opened).
bool canReceiveWithin(const LinkSocketOps& sockets) noexcept {
    const LinkSocketOps& system = kLinkSystemSocketOps;
    return sockets.receiveWithin != nullptr && sockets.receiveFrom == system.receiveFrom &&
           sockets.open == system.open && sockets.close == system.close;
}

enum class Round { Received, Nothing, Failed, Refused };

Round afterError(int error) noexcept {
    if (error == kLinkErrorConnectionReset) return Round::Refused;
    return error == kLinkErrorWouldBlock || isPassing(error) ? Round::Nothing : Round::Failed;
}

// One try for one datagram, up to the deadline. Where the platform lets the receive wait by
// itself, a datagram already waiting (within a burst of fragments, or on one processor) is taken
// at once and any other costs one system call as well, instead of a wait and then a read.
Round receiveOnce(const LinkSocketOps& sockets, LinkDeadline deadline, uint8_t* buffer, int size,
                  LinkAddress* from, int* received) noexcept {
    const bool inOneCall = canReceiveWithin(sockets);
    // Asked once even when the time is up, so that a datagram already waiting is taken.
    const int64_t remainingMicros = deadline - nowMicros();
    if (inOneCall) {
        *received = sockets.receiveWithin(gRemoteLink.socket, buffer, size, from,
                                          remainingMicros > 0 ? remainingMicros : 0);
        if (*received >= 0) return Round::Received;
        return afterError(sockets.lastError());
    }
    const int ready =
        sockets.waitReadable(gRemoteLink.socket, remainingMicros > 0 ? remainingMicros : 0);
    if (ready < 0) return afterError(sockets.lastError());
    if (ready == 0) return Round::Nothing;
    *received = sockets.receiveFrom(gRemoteLink.socket, buffer, size, from);
    if (*received >= 0) return Round::Received;
    return afterError(sockets.lastError());
}

}  // namespace

LinkDeadline LinkDeadlineAfter(int64_t timeoutMicros) noexcept {
    return nowMicros() + (timeoutMicros > 0 ? timeoutMicros : 0);
}

LinkWait LinkAwaitDatagramUntil(LinkDeadline deadline, LinkSource source, uint8_t* buffer, int size,
                                int* length, LinkAddress* from) noexcept {
    const LinkSocketOps& sockets = LinkSockets();
    for (;;) {
        int received = 0;
        const Round round = receiveOnce(sockets, deadline, buffer, size, from, &received);
        if (round == Round::Failed) return LinkWait::Failed;
        if (round == Round::Refused && source == LinkSource::PeerPortUntilRefused)
            return LinkWait::Refused;
        // Nobody but the peer may answer in the debugger's name.
        if (round == Round::Received && isTaken(*from, source)) {
            if (received > size) return LinkWait::Failed;
            *length = received;
            return LinkWait::Received;
        }
        // A platform wait may end before the deadline (a capped or interrupted wait): only the
        // deadline itself ends this one.
        if (deadline - nowMicros() <= 0) return LinkWait::TimedOut;
    }
}

LinkWait LinkAwaitDatagram(int64_t timeoutMicros, uint8_t* buffer, int size, int* length) noexcept {
    LinkAddress from{};
    return LinkAwaitDatagramUntil(LinkDeadlineAfter(timeoutMicros), LinkSource::Answerer, buffer,
                                  size, length, &from);
}

int LinkReceiveDatagram(int64_t timeoutMicros, uint8_t* buffer, int size) noexcept {
    int length = 0;
    switch (LinkAwaitDatagram(timeoutMicros, buffer, size, &length)) {
        case LinkWait::Received:
            return length;
        case LinkWait::TimedOut:
            return 0;
        case LinkWait::Failed:
        case LinkWait::Refused:
            break;
    }
    return -1;
}

int LinkSendDatagram(const uint8_t* data, int length) noexcept {
    const LinkSocketOps& sockets = LinkSockets();
    for (;;) {
        const int sent = sockets.sendTo(gRemoteLink.socket, data, length, gRemoteLink.peerAddress);
        if (sent >= 0 || sockets.lastError() != kLinkErrorInterrupted) return sent;
    }
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
