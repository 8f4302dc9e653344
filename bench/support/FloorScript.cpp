// SPDX-License-Identifier: Apache-2.0
#include "support/FloorScript.h"

namespace krvbench {
namespace {

constexpr size_t kHeadBytes = 4;
constexpr size_t kReplayHeadBytes = 6;
constexpr size_t kMaxLoadDatagram = 65507;  // the most one UDP datagram over IPv4 carries

void putLE16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

uint16_t getLE16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

bool decodeSizes(const uint8_t* sizes, size_t steps, WireScript& script) {
    WireScript decoded;
    decoded.reserve(steps);
    for (size_t i = 0; i < steps; ++i) {
        const int size = static_cast<int16_t>(getLE16(sizes + 2 * i));
        if (size == 0 || size > kFloorMaxDatagram || size < -kFloorMaxDatagram) return false;
        decoded.push_back(size);
    }
    script = std::move(decoded);
    return true;
}

size_t peerSteps(const WireScript& script) {
    size_t count = 0;
    for (const int size : script) count += size < 0 ? 1 : 0;
    return count;
}

}  // namespace

std::vector<uint8_t> encodeFloorScript(const WireScript& script, FloorWaits waits) {
    std::vector<uint8_t> out = {kFloorLoadMark, static_cast<uint8_t>(waits)};
    putLE16(out, static_cast<uint16_t>(script.size()));
    for (const int size : script) putLE16(out, static_cast<uint16_t>(static_cast<int16_t>(size)));
    return out;
}

bool decodeFloorScript(const uint8_t* datagram, size_t length, WireScript& script,
                       FloorWaits& waits) {
    if (length < kHeadBytes || datagram[0] != kFloorLoadMark) return false;
    if (datagram[1] > static_cast<uint8_t>(FloorWaits::Polled)) return false;
    const size_t steps = getLE16(datagram + 2);
    if (steps > kFloorMaxSteps || length != kHeadBytes + 2 * steps) return false;
    if (!decodeSizes(datagram + kHeadBytes, steps, script)) return false;
    waits = static_cast<FloorWaits>(datagram[1]);
    return true;
}

std::vector<uint8_t> encodeReplayScript(const ReplayScript& replay) {
    const size_t heads = peerSteps(replay.script);
    if (replay.script.size() > kFloorMaxSteps ||
        replay.peerHeads.size() != heads * kRecordedHeadBytes ||
        kReplayHeadBytes + 2 * replay.script.size() + replay.peerHeads.size() > kMaxLoadDatagram) {
        return {};
    }
    std::vector<uint8_t> out = {kFloorReplayMark, replay.lastToggle};
    putLE16(out, static_cast<uint16_t>(replay.script.size()));
    putLE16(out, replay.firstSequence);
    for (const int size : replay.script) {
        putLE16(out, static_cast<uint16_t>(static_cast<int16_t>(size)));
    }
    out.insert(out.end(), replay.peerHeads.begin(), replay.peerHeads.end());
    return out;
}

bool decodeReplayScript(const uint8_t* datagram, size_t length, ReplayScript& replay) {
    if (length < kReplayHeadBytes || datagram[0] != kFloorReplayMark || datagram[1] > 1) {
        return false;
    }
    const size_t steps = getLE16(datagram + 2);
    if (steps > kFloorMaxSteps || length < kReplayHeadBytes + 2 * steps) return false;
    ReplayScript decoded;
    if (!decodeSizes(datagram + kReplayHeadBytes, steps, decoded.script)) return false;
    const size_t headBytes = peerSteps(decoded.script) * kRecordedHeadBytes;
    if (length != kReplayHeadBytes + 2 * steps + headBytes) return false;
    const uint8_t* heads = datagram + kReplayHeadBytes + 2 * steps;
    decoded.peerHeads.assign(heads, heads + headBytes);
    decoded.firstSequence = getLE16(datagram + 4);
    decoded.lastToggle = datagram[1];
    replay = std::move(decoded);
    return true;
}

}  // namespace krvbench
