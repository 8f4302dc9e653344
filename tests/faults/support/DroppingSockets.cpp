// SPDX-License-Identifier: Apache-2.0
#include "support/DroppingSockets.h"

#include "remote/LinkWire.h"
#include "remote/RemoteLinkTesting.h"
#include "remote/SocketLayer.h"

namespace faults {
namespace {

std::set<int> gLostRequests;
std::set<int> gLostReplies;
std::set<int> gLostTokens;
int gRequestFragments = 0;
int gReplyFragments = 0;
int gTokens = 0;
int gBurstLeft = 0;

bool takenByBurst() {
    if (gBurstLeft <= 0) return false;
    --gBurstLeft;
    return true;
}

int losingSendTo(LinkSocket socket, const uint8_t* data, int length, const LinkAddress& to) {
    if (takenByBurst()) return length;
    if (length > 0 && data[0] == LINK_DATA_OUT && gLostRequests.count(++gRequestFragments) != 0) {
        return length;
    }
    return kLinkSystemSocketOps.sendTo(socket, data, length, to);
}

int losingReceiveFrom(LinkSocket socket, uint8_t* data, int capacity, LinkAddress* from) {
    const int length = kLinkSystemSocketOps.receiveFrom(socket, data, capacity, from);
    if (length <= 0) return length;
    const bool lost = takenByBurst() ||
                      (data[0] == LINK_DATA_IN && gLostReplies.count(++gReplyFragments) != 0) ||
                      (length == 1 && data[0] == LINK_FLOW_TOKEN && gLostTokens.count(++gTokens));
    if (lost) *from = LinkAddress{};  // nobody's: the link drops it like a stranger's datagram
    return length;
}

LinkSocketOps losingOps() {
    LinkSocketOps ops = kLinkSystemSocketOps;
    ops.sendTo = losingSendTo;
    ops.receiveFrom = losingReceiveFrom;
    ops.sendBatch = nullptr;  // one datagram a call, so that each is counted
    return ops;
}

const LinkSocketOps kLosingOps = losingOps();

void loseNothing() {
    gLostRequests.clear();
    gLostReplies.clear();
    gLostTokens.clear();
    gRequestFragments = 0;
    gReplyFragments = 0;
    gTokens = 0;
    gBurstLeft = 0;
}

}  // namespace

void loseFragments(Direction direction, std::set<int> lost) {
    loseNothing();
    (direction == Direction::Requests ? gLostRequests : gLostReplies) = std::move(lost);
}

void loseFlowTokens(std::set<int> lost) {
    loseNothing();
    gLostTokens = std::move(lost);
}

void loseBurst(int datagrams) {
    loseNothing();
    gBurstLeft = datagrams;
}

DroppingSockets::DroppingSockets() {
    loseNothing();
    LinkSetSocketOpsForTest(&kLosingOps);
}

DroppingSockets::~DroppingSockets() {
    LinkSetSocketOpsForTest(nullptr);
    loseNothing();
}

}  // namespace faults
