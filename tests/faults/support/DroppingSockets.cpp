// SPDX-License-Identifier: Apache-2.0
#include "support/DroppingSockets.h"

#include "remote/LinkWire.h"
#include "remote/RemoteLinkTesting.h"
#include "remote/SocketLayer.h"

namespace faults {
namespace {

std::set<int> gLostRequests;
std::set<int> gLostReplies;
int gRequestFragments = 0;
int gReplyFragments = 0;

int losingSendTo(LinkSocket socket, const uint8_t* data, int length, const LinkAddress& to) {
    if (length > 0 && data[0] == LINK_DATA_OUT && gLostRequests.count(++gRequestFragments) != 0) {
        return length;
    }
    return kLinkSystemSocketOps.sendTo(socket, data, length, to);
}

int losingReceiveFrom(LinkSocket socket, uint8_t* data, int capacity, LinkAddress* from) {
    const int length = kLinkSystemSocketOps.receiveFrom(socket, data, capacity, from);
    if (length > 0 && data[0] == LINK_DATA_IN && gLostReplies.count(++gReplyFragments) != 0) {
        *from = LinkAddress{};  // nobody's: the link drops it like a stranger's datagram
    }
    return length;
}

LinkSocketOps losingOps() {
    LinkSocketOps ops = kLinkSystemSocketOps;
    ops.sendTo = losingSendTo;
    ops.receiveFrom = losingReceiveFrom;
    return ops;
}

const LinkSocketOps kLosingOps = losingOps();

}  // namespace

void loseFragments(Direction direction, std::set<int> lost) {
    gLostRequests.clear();
    gLostReplies.clear();
    gRequestFragments = 0;
    gReplyFragments = 0;
    (direction == Direction::Requests ? gLostRequests : gLostReplies) = std::move(lost);
}

DroppingSockets::DroppingSockets() {
    loseFragments(Direction::Replies, {});
    LinkSetSocketOpsForTest(&kLosingOps);
}

DroppingSockets::~DroppingSockets() {
    LinkSetSocketOpsForTest(nullptr);
    loseFragments(Direction::Replies, {});
}

}  // namespace faults
