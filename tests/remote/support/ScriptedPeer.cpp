// SPDX-License-Identifier: Apache-2.0
#include "ScriptedPeer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "remote/LinkWire.h"

namespace {

const Bytes kFence = {'f', 'e', 'n', 'c', 'e'};
const Bytes kStop = {'s', 't', 'o', 'p'};
constexpr size_t kFlowControlBytes = 6000;

sockaddr_in loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int boundSocket(sockaddr_in* bound) {
    const int descriptor = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address = loopback(0);
    if (descriptor < 0 ||
        ::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ADD_FAILURE() << "scripted peer cannot bind: " << std::strerror(errno);
        return descriptor;
    }
    socklen_t length = sizeof address;
    ::getsockname(descriptor, reinterpret_cast<sockaddr*>(&address), &length);
    *bound = address;
    return descriptor;
}

}  // namespace

ScriptedPeer::ScriptedPeer() {
    socket_ = boundSocket(&self_);
    port_ = ntohs(self_.sin_port);
    sockaddr_in address{};
    control_ = boundSocket(&address);
    controlPort_ = ntohs(address.sin_port);
    stranger_ = boundSocket(&address);
    thread_ = std::thread([this] { run(); });
}

ScriptedPeer::~ScriptedPeer() {
    sendFrom(control_, kStop, self_);
    thread_.join();
    ::close(socket_);
    ::close(control_);
    ::close(stranger_);
}

void ScriptedPeer::onConnect(Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    onConnect_ = std::move(handler);
}

void ScriptedPeer::onSync(Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    onSync_ = std::move(handler);
}

void ScriptedPeer::setTokenAfterReply(bool after) {
    std::lock_guard<std::mutex> lock(mutex_);
    tokenAfterReply_ = after;
}

void ScriptedPeer::onRequest(Handler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    onRequest_ = std::move(handler);
}

void ScriptedPeer::setFlowTokenLimit(int tokens) {
    std::lock_guard<std::mutex> lock(mutex_);
    tokenLimit_ = tokens;
}

void ScriptedPeer::setSequence(uint16_t sequence) {
    std::lock_guard<std::mutex> lock(mutex_);
    sequence_ = sequence;
}

void ScriptedPeer::setBeforeToken(std::vector<Bytes> datagrams) {
    std::lock_guard<std::mutex> lock(mutex_);
    beforeToken_ = std::move(datagrams);
}

void ScriptedPeer::sendFrom(int socket, const Bytes& datagram, const sockaddr_in& to) {
    ::sendto(socket, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to);
}

void ScriptedPeer::send(const Bytes& datagram) {
    sendFrom(socket_, datagram, client_);
}

void ScriptedPeer::sendFromStranger(const Bytes& datagram) {
    sendFrom(stranger_, datagram, client_);
}

Bytes ScriptedPeer::controlDatagram(uint8_t type, uint16_t sequence, size_t length) {
    Bytes datagram(std::max<size_t>(length, 16), 0);
    datagram[0] = type;
    storeLE16(&datagram[2], sequence);
    std::memcpy(&datagram[kLinkMagicOffset], kLinkMagic, kLinkMagicSize);
    datagram.resize(length);
    return datagram;
}

void ScriptedPeer::acceptConnect(size_t length) {
    packetLength_ = length;
    std::lock_guard<std::mutex> lock(mutex_);
    send(controlDatagram(LINK_CONNECT_ACCEPT, sequence_, length));
}

void ScriptedPeer::sendSyncReply() {
    std::lock_guard<std::mutex> lock(mutex_);
    send(controlDatagram(LINK_SYNC_REPLY, sequence_));
}

Bytes ScriptedPeer::replyMessage(uint8_t flags, uint8_t status, uint8_t id, const Bytes& data) {
    Bytes message = {flags, 0, 0, status, id};
    message.insert(message.end(), data.begin(), data.end());
    return message;
}

uint16_t ScriptedPeer::sendReply(const Bytes& message, const ReplyShape& shape,
                                 const std::set<size_t>& lost) {
    const size_t perFragment =
        shape.fragmentBytes > 0 ? static_cast<size_t>(shape.fragmentBytes) : packetLength_ - 4;
    std::vector<Bytes> fragments;
    uint16_t first = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        first = sequence_;
        size_t offset = 0;
        do {
            const size_t piece = std::min(perFragment, message.size() - offset);
            const bool last = offset + piece >= message.size();
            Bytes fragment = {LINK_DATA_IN, last ? kLinkLastFragment : shape.moreContinuation, 0,
                              0};
            storeLE16(&fragment[2], sequence_++);
            fragment.insert(fragment.end(), message.begin() + static_cast<long>(offset),
                            message.begin() + static_cast<long>(offset + piece));
            fragments.push_back(std::move(fragment));
            offset += piece;
        } while (offset < message.size());
    }
    std::vector<size_t> order = shape.order;
    if (order.empty()) {
        for (size_t index = 0; index < fragments.size(); ++index) order.push_back(index);
    }
    for (const size_t index : order) {
        const auto extra = shape.before.find(index);
        if (extra != shape.before.end()) {
            for (const Bytes& datagram : extra->second) send(datagram);
        }
        if (lost.count(index) == 0) send(fragments[index]);
    }
    previousReply_ = fragments;
    return first;
}

void ScriptedPeer::repeatPreviousReply() {
    for (const Bytes& fragment : previousReply_) send(fragment);
}

void ScriptedPeer::fence() {
    std::unique_lock<std::mutex> lock(mutex_);
    const int awaited = fences_ + 1;
    lock.unlock();
    sendFrom(control_, kFence, self_);
    lock.lock();
    if (!fenced_.wait_for(lock, std::chrono::seconds(10), [&] { return fences_ >= awaited; })) {
        ADD_FAILURE() << "scripted peer did not come round to the fence";
    }
}

std::vector<Bytes> ScriptedPeer::datagrams() {
    fence();
    std::lock_guard<std::mutex> lock(mutex_);
    return datagrams_;
}

std::vector<Bytes> ScriptedPeer::datagramsOfType(uint8_t type) {
    std::vector<Bytes> all = datagrams();
    std::vector<Bytes> chosen;
    std::copy_if(all.begin(), all.end(), std::back_inserter(chosen), [type](const Bytes& datagram) {
        return !datagram.empty() && datagram[0] == type;
    });
    return chosen;
}

std::vector<Bytes> ScriptedPeer::requests() {
    fence();
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

int ScriptedPeer::tokensSent() {
    fence();
    std::lock_guard<std::mutex> lock(mutex_);
    return tokensSent_;
}

ScriptedPeer::Handler ScriptedPeer::handler(const Handler& slot) {
    std::lock_guard<std::mutex> lock(mutex_);
    return slot;
}

void ScriptedPeer::run() {
    std::vector<uint8_t> space(65536);
    uint8_t* buffer = space.data();
    for (;;) {
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t received = ::recvfrom(socket_, buffer, space.size(), 0,
                                            reinterpret_cast<sockaddr*>(&from), &length);
        if (received < 0) {
            if (errno == EINTR) continue;
            return;
        }
        const Bytes datagram(buffer, buffer + received);
        if (ntohs(from.sin_port) == controlPort_) {
            if (datagram == kStop) return;
            std::lock_guard<std::mutex> lock(mutex_);
            ++fences_;
            fenced_.notify_all();
            continue;
        }
        client_ = from;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            datagrams_.push_back(datagram);
        }
        dispatch(datagram);
    }
}

void ScriptedPeer::dispatch(const Bytes& datagram) {
    if (datagram.empty()) return;
    switch (datagram[0]) {
        case LINK_CONNECT_REQUEST: {
            const Handler chosen = handler(onConnect_);
            if (chosen) {
                chosen(*this, datagram);
            } else {
                acceptConnect(datagram.size());
            }
            break;
        }
        case LINK_SYNC_REQUEST: {
            // As a front end does, a sync drops a request still being put together.
            pending_.clear();
            pendingBytes_ = 0;
            const Handler chosen = handler(onSync_);
            if (chosen) {
                chosen(*this, datagram);
            } else {
                sendSyncReply();
            }
            break;
        }
        case LINK_DATA_OUT:
            takeFragment(datagram);
            break;
        default:
            break;
    }
}

// Reassembles the client's message and hands out flow tokens as the front end does.
void ScriptedPeer::takeFragment(const Bytes& datagram) {
    if (datagram.size() < 4) return;
    lastFragmentSequence_ = static_cast<uint16_t>(datagram[2] | (datagram[3] << 8));
    pending_.insert(pending_.end(), datagram.begin() + 4, datagram.end());
    pendingBytes_ += datagram.size();
    const bool last = datagram[1] == kLinkLastFragment;
    bool tokenLater = false;
    if (pendingBytes_ + packetLength_ > kFlowControlBytes) {
        bool give = false;
        std::vector<Bytes> before;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            give = tokenLimit_ < 0 || tokensSent_ < tokenLimit_;
            if (give) ++tokensSent_;
            before = beforeToken_;
            tokenLater = give && last && tokenAfterReply_;
        }
        for (const Bytes& datagram : before) send(datagram);
        if (give && !tokenLater) send({LINK_FLOW_TOKEN});
    }
    if (!last) return;
    struct LateToken {
        ScriptedPeer& peer;
        bool due;
        ~LateToken() {
            if (due) peer.send({LINK_FLOW_TOKEN});
        }
    } lateToken{*this, tokenLater};
    const Bytes message = std::move(pending_);
    pending_.clear();
    pendingBytes_ = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(message);
    }
    const Handler chosen = handler(onRequest_);
    if (chosen) {
        chosen(*this, message);
    } else if (message.size() > kRequestIdOffset) {
        sendReply(replyMessage(0, 0, message[kRequestIdOffset]));
    }
}
