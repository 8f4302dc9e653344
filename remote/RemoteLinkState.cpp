// SPDX-License-Identifier: Apache-2.0
#include "remote/RemoteLinkState.h"

#include "remote/LinkRoutines.h"

RemoteLinkState gRemoteLink;
uint8_t gRequestBuffer[kRequestBufferSize] = {};
uint8_t gReplyBuffer[kReplyBufferSize] = {};
const LinkSocketOps* gLinkSocketOps = &kLinkSystemSocketOps;

int64_t LinkHandshakeTimeoutMicros() noexcept {
    const int64_t forTest = gRemoteLink.handshakeTimeoutMicrosForTest;
    return forTest > 0 ? forTest : kHandshakeTimeoutMicros;
}

int64_t LinkReplyTimeoutMicros() noexcept {
    const int64_t forTest = gRemoteLink.replyTimeoutMicrosForTest;
    return forTest > 0 ? forTest : int64_t{gRemoteLink.replyTimeoutSeconds} * 1000000;
}

namespace {

// The kept notification copies are the link's only heap memory; give it back when the library
// is unloaded.
struct NotificationsReleasedAtUnload {
    NotificationsReleasedAtUnload() = default;
    NotificationsReleasedAtUnload(const NotificationsReleasedAtUnload&) = delete;
    NotificationsReleasedAtUnload& operator=(const NotificationsReleasedAtUnload&) = delete;
    ~NotificationsReleasedAtUnload() { LinkReleaseNotifications(); }
};

NotificationsReleasedAtUnload gReleaseAtUnload;

}  // namespace
