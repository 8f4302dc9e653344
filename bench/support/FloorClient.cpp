// SPDX-License-Identifier: Apache-2.0
#include "support/FloorClient.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "support/FloorScript.h"
#include "support/Placement.h"
#include "support/SimProcess.h"

namespace krvbench {
namespace {

// A lost datagram on loopback must not hang the benchmark.
constexpr int kReceiveTimeoutSeconds = 2;

}  // namespace

FloorClient::~FloorClient() {
    if (socket_ >= 0) ::close(socket_);
}

bool FloorClient::startPeer(std::string& error) {
    if (!peer_.start({executableDirectory() + "/krv-floor-peer"}, processPlacement().peerCpu,
                     error)) {
        return false;
    }
    std::string endpoint;
    if (!peer_.awaitLine("floor peer on ", endpoint, error)) return false;
    const int port = portAfterColon(endpoint);
    socket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (port < 0 || socket_ < 0) {
        error = "floor peer not reachable: " + endpoint;
        return false;
    }
    const timeval timeout = {kReceiveTimeoutSeconds, 0};
    (void)::setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    peerAddress_.sin_family = AF_INET;
    peerAddress_.sin_port = htons(static_cast<uint16_t>(port));
    peerAddress_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendBuffer_[0] = kFloorClientMark;
    return true;
}

bool FloorClient::load(const WireScript& script, FloorWaits waits, std::string& error) {
    if (!peer_.running() && !startPeer(error)) return false;
    if (script.empty() || script.size() > kFloorMaxSteps || script.front() < 0) {
        error = "a script must start with a datagram from the client";
        return false;
    }
    if (!handOver(encodeFloorScript(script, waits), error)) return false;
    script_ = script;
    waits_ = waits;
    return true;
}

bool FloorClient::loadReplay(const ReplayScript& replay, std::string& error) {
    if (!peer_.running() && !startPeer(error)) return false;
    const std::vector<uint8_t> encoded = encodeReplayScript(replay);
    if (encoded.empty()) {
        error = "the recorded call is too long to replay";
        return false;
    }
    // The floor's own script is gone from the peer now.
    script_.clear();
    return handOver(encoded, error);
}

bool FloorClient::handOver(const std::vector<uint8_t>& encoded, std::string& error) {
    const auto* to = reinterpret_cast<const sockaddr*>(&peerAddress_);
    if (::sendto(socket_, encoded.data(), encoded.size(), 0, to, sizeof peerAddress_) !=
            static_cast<ssize_t>(encoded.size()) ||
        ::recv(socket_, receiveBuffer_, sizeof receiveBuffer_, 0) != 1 ||
        receiveBuffer_[0] != kFloorReadyMark) {
        error = std::string("the floor peer did not take the script: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool FloorClient::run() {
    const auto* to = reinterpret_cast<const sockaddr*>(&peerAddress_);
    for (const int step : script_) {
        if (step > 0) {
            const auto length = static_cast<size_t>(step);
            if (::sendto(socket_, sendBuffer_, length, 0, to, sizeof peerAddress_) != step) {
                return false;
            }
        } else {
            if (waits_ == FloorWaits::Polled) {
                pollfd readable = {socket_, POLLIN, 0};
                if (::poll(&readable, 1, kReceiveTimeoutSeconds * 1000) != 1) return false;
            }
            if (::recv(socket_, receiveBuffer_, sizeof receiveBuffer_, 0) != -step) return false;
        }
    }
    return true;
}

FloorClient& floorClient() {
    static FloorClient client;
    return client;
}

}  // namespace krvbench
