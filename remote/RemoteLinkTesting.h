// SPDX-License-Identifier: Apache-2.0
// Internal hooks for the link's tests and fuzzers; never used by the plug-in itself.
#pragma once

#include <cstdint>

#include "remote/RemoteLinkState.h"
#include "remote/SocketLayer.h"

// Number of notification records the link keeps now.
int KRV_NotificationCount();

// Replaces the handshake time-out (normally 0.5 s) and the reply time-out (normally "TIMEOUT="
// seconds) by microsecond values; 0 brings the normal value back.
void LinkSetTimeoutsForTest(uint32_t handshakeMicros, uint32_t replyMicros);

// Read access to the whole link state for assertions.
const RemoteLinkState& LinkStateForTest();

// Routes every socket operation of the link through `ops` (which must outlive its use); null
// brings back the platform's own layer.
void LinkSetSocketOpsForTest(const LinkSocketOps* ops);
