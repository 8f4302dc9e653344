// SPDX-License-Identifier: Apache-2.0
// The link's internal routines, shared between its source files, tests and fuzzers. None of them
// is exported. All work on the one process-wide RemoteLinkState.
#pragma once

#include <cstddef>
#include <cstdint>

#include "remote/SocketLayer.h"

// Diagnostics of the set-up go into a caller's text of this size.
constexpr size_t kLinkTextSize = 256;

// Configuration (LinkConfig.cpp).
// Value of a string of decimal digits; -1 for any other character or a value above INT32_MAX.
[[nodiscard]] int LinkParseDecimal(const char* text) noexcept;
// 1 when the "KEY=value" line is accepted, -1 when it is not (nothing changes then).
[[nodiscard]] int LinkParseConfigLine(const char* line) noexcept;

// Datagrams (LinkDatagram.cpp).
enum class LinkWait { Received, TimedOut, Failed, Refused };
// A point on the steady clock in microseconds; waits end there whatever arrives before.
using LinkDeadline = int64_t;
[[nodiscard]] LinkDeadline LinkDeadlineAfter(int64_t timeoutMicros) noexcept;
// Which senders a wait takes: the handshake does not know yet which of the peer's addresses
// answers, so it takes the peer's port on any address; afterwards only the address that answered.
// PeerPortUntilRefused is the handshake with a peer on this machine, where a report that the
// port is unreachable means that nothing listens there: it ends the wait (Refused).
enum class LinkSource { PeerPortOnAnyAddress, PeerPortUntilRefused, Answerer };
// Waits until the deadline for one datagram from the peer; datagrams from anyone else, signals and
// reports of unreachable ports are skipped within the same time (but see PeerPortUntilRefused).
// `*length` is the datagram's length and `*from` its sender when Received.
[[nodiscard]] LinkWait LinkAwaitDatagramUntil(LinkDeadline deadline, LinkSource source,
                                              uint8_t* buffer, int size, int* length,
                                              LinkAddress* from) noexcept;
// The same from the answerer, with a time-out of its own.
[[nodiscard]] LinkWait LinkAwaitDatagram(int64_t timeoutMicros, uint8_t* buffer, int size,
                                         int* length) noexcept;
// The same as a number: the datagram's length, 0 on time-out, -1 on error.
[[nodiscard]] int LinkReceiveDatagram(int64_t timeoutMicros, uint8_t* buffer, int size) noexcept;
[[nodiscard]] int LinkSendDatagram(const uint8_t* data, int length) noexcept;
// Appends the name of the last socket error to the text (nothing for an error without a name).
void LinkAppendSocketError(char* text) noexcept;

// Set-up (LinkSetup.cpp, LinkHandshake.cpp).
// The peer's IPv4 address in host order, or -1 with a diagnostic in the text.
[[nodiscard]] int64_t LinkResolveNode(char* text) noexcept;
// True when the peer's address is this machine's loopback (127.0.0.0/8).
[[nodiscard]] bool LinkPeerIsLocal() noexcept;
// 1 opened now, 0 was open already, -1 failed with a diagnostic in the text.
[[nodiscard]] int LinkOpen(char* text) noexcept;
// 1 accepted, 2 refused or denied, 0 no valid answer, 3 the port is unreachable (only with a peer
// on this machine: LinkSource::PeerPortUntilRefused).
[[nodiscard]] int LinkConnectRequest() noexcept;
// 1 synchronised, -1 not.
[[nodiscard]] int LinkSync() noexcept;
// 0 after a successful sync within four tries, -1 when none was answered, kLinkLostResult when
// the front end answered that it holds no link with us. A sync reply whose sequence number lies
// behind the one expected is an old copy and is passed over.
int LinkResync() noexcept;
// Whether the datagram is the front end's word that it holds no link with us (see LinkWire.h);
// which datagram of ours it answers is for the caller to check.
[[nodiscard]] bool LinkIsForgetting(const uint8_t* datagram, int length) noexcept;

// Packet protocol (LinkProtocol.cpp).
// `message` needs 4 writable bytes in front. Returns `length`, or -1 when a datagram was not sent
// whole or a flow-control wait failed (an empty message must fail distinctly too).
int LinkTransmit(uint8_t* message, int length) noexcept;
// Reassembles one message from the peer at `buffer` (4 writable bytes in front); its length or -1.
[[nodiscard]] int LinkReceiveMessage(uint8_t* buffer) noexcept;
// Sends the request buffer's message; `length` is the even length from offset 5 on, 0 for an
// empty message. A new request is first synchronised when the last one failed. 0, or -1 with the
// last result set to -2 (not sent whole; the next request synchronises), -1 (the sync before it
// was not answered; the next request tries again) or kLinkLostResult (the front end holds no link
// with us).
[[nodiscard]] int LinkSendRequest(int length) noexcept;
// The accepted reply's length minus 1, or -1 with the last result set to -1 (or -2 when a resend
// did not go whole; the next request synchronises then) or kLinkLostResult (the front end
// answered that it holds no link with us).
[[nodiscard]] int LinkWaitReply() noexcept;

// Notification list (NotificationList.cpp).
// Keeps a copy as the newest record, dropping the oldest beyond the limit; -1 without memory.
[[nodiscard]] int LinkKeepNotification(const uint8_t* datagram, int length) noexcept;
void LinkReleaseNotifications() noexcept;
