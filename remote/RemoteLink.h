// SPDX-License-Identifier: Apache-2.0
// The remote calls of the debugger's UDP remote interface, as the target uses them. There is one
// link per process; the calls take no handle. Results are plain integers: the debugger's status
// byte (0 success, 1..255 its refusal or error) or a negative code of the link:
//   -1 no acceptable reply, -2 request not transmitted whole, -3 request too long (nothing sent),
//   -4 link lost: the front end answered that it holds no link with us (it was restarted, or
//      another client holds it); nothing is sent until the link is opened again
//      (kLinkLostResult). A front end that does not answer at all is no reason: each call fails
//      after its time-out and the next one synchronises again,
//   -6 no memory for a raw-shift block (not produced now: the block is built in the request).
// After -1 or -2 the next request is preceded by a sync, so one lost datagram costs one call and
// an outage only the calls made during it.
// Nothing here is exported from the plug-in.
#pragma once

#include <cstdint>

constexpr int kLinkLostResult = -4;

// Sets one configuration item; the key includes its "=": "NODE=", "PORT=", "HOSTPORT=",
// "PACKLEN=" (16..1472), "TIMEOUT=" (seconds per reply datagram). 0 accepted, -1 refused with
// nothing changed. New node and port values take effect at the next connect.
int KRV_SetConfigItem(const char* key, const char* value);

// Opens the link if it is not open and synchronises it: 0, or -1. A link whose synchronisation
// failed stays open until KRV_Disconnect.
int KRV_Connect();

// Why the last KRV_Connect gave -1, with the link's own text for it ("cannot bind socket",
// "KORAVEN access refused", ...; empty when the connect never got that far).
enum class LinkOpenFailure {
    kNone,
    kRefused,
    kNoAnswer,
    kNotListening,
    kLocalPort,
    kNoSync,
    kOther
};
LinkOpenFailure KRV_ConnectFailure(const char** text);

// Closes the link if it is open and drops the kept notifications. Safe at any time.
void KRV_Disconnect();

int KRV_Attach();

// A NUL-terminated command line of at most 2048 characters; -3 for a longer one.
int KRV_ExecuteCommand(const char* command);

// One TAP access: `bits` bits of `send` (negative: no size header and no data), `tdoBits` bits
// read back into `receive`, `flags` 0..15, `keep` 1 to keep the access open afterwards.
int KRV_TAPAccessRequest(int tdoBits, int flags, int bits, int keep, const uint8_t* send,
                         uint8_t* receive);

// A raw shift of `bits` clocks: TMS and TDI streams (each may be null), TDO captured into `tdo`
// (may be null); `options` bits 3..15 go to the debugger unchanged. 0 bits send nothing.
int KRV_TAPAccessShiftRaw(int options, int bits, const uint8_t* tms, const uint8_t* tdi,
                          uint8_t* tdo);

// Ends the TAP access on the debugger.
int KRV_ReleaseTAP();

// The result of the most recent remote call.
int KRV_LastResult();

// The packet length in use: the one the front end's accept set, once connected.
int KRV_PacketLength();

// Which requests go out again, with their own sequence numbers, when no reply came within the
// retransmission time-out (learnt from the round trips, within the reply time-out). Safe only
// with a front end that answers a request it carried out already by repeating its reply.
enum class LinkRetransmit {
    Off,         // none: a request without an answer fails its call after the reply time-out
    Idempotent,  // only those that change nothing when carried out twice (attach, commands)
    On,          // every request
};
void KRV_SetRetransmit(LinkRetransmit retransmit);

// What the front end does with a request it carried out already, learnt by sending the last
// request once more with its own sequence numbers. Only for a request that changes nothing when
// carried out twice (the attach), right after its reply came.
enum class LinkRepeatAnswer {
    RepeatsReply,   // its reply again: retransmission is safe
    ExecutesAgain,  // a new reply: it carried the request out once more
    NoAnswer,       // nothing within the wait, twice
};
LinkRepeatAnswer KRV_ProbeRepeatedRequest();

// Requests sent again on a time-out since the library was loaded.
uint64_t KRV_TimeoutRetransmissions();
