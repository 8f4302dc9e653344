// SPDX-License-Identifier: Apache-2.0
#include "remote/RemoteLinkTesting.h"

int KRV_NotificationCount() {
    return gRemoteLink.notificationCount;
}

void LinkSetTimeoutsForTest(uint32_t handshakeMicros, uint32_t replyMicros) {
    gRemoteLink.handshakeTimeoutMicrosForTest = handshakeMicros;
    gRemoteLink.replyTimeoutMicrosForTest = replyMicros;
}

const RemoteLinkState& LinkStateForTest() {
    return gRemoteLink;
}

void LinkSetSocketOpsForTest(const LinkSocketOps* ops) {
    gLinkSocketOps = ops != nullptr ? ops : &kLinkSystemSocketOps;
}
