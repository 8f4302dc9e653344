// SPDX-License-Identifier: Apache-2.0
// Copies of the debugger's notification datagrams, newest first, at most kMaxKeptNotifications.
#include <cstring>
#include <new>

#include "remote/LinkRoutines.h"
#include "remote/RemoteLinkState.h"

namespace {

void dropOldest() noexcept {
    NotificationRecord* oldest = gRemoteLink.oldestNotification;
    gRemoteLink.oldestNotification = oldest->newer;
    if (oldest->newer != nullptr) {
        oldest->newer->older = nullptr;
    } else {
        gRemoteLink.newestNotification = nullptr;
    }
    --gRemoteLink.notificationCount;
    delete oldest;
}

}  // namespace

int LinkKeepNotification(const uint8_t* datagram, int length) noexcept {
    if (length < 0 || length > kMaxPacketLength) return -1;
    auto* record = new (std::nothrow) NotificationRecord;
    if (record == nullptr) return -1;
    std::memcpy(record->data, datagram, static_cast<size_t>(length));
    record->length = length;
    record->older = gRemoteLink.newestNotification;
    if (record->older != nullptr) {
        record->older->newer = record;
    } else {
        gRemoteLink.oldestNotification = record;
    }
    gRemoteLink.newestNotification = record;
    if (++gRemoteLink.notificationCount > kMaxKeptNotifications) dropOldest();
    return 0;
}

void LinkReleaseNotifications() noexcept {
    while (gRemoteLink.oldestNotification != nullptr) dropOldest();
}
