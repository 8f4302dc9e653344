#include "support/FloorScript.h"

namespace krvbench {
namespace {

constexpr size_t kHeadBytes = 4;

void putLE16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

uint16_t getLE16(const uint8_t* bytes) {
    return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
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
    WireScript decoded;
    decoded.reserve(steps);
    for (size_t i = 0; i < steps; ++i) {
        const int size = static_cast<int16_t>(getLE16(datagram + kHeadBytes + 2 * i));
        if (size == 0 || size > kFloorMaxDatagram || size < -kFloorMaxDatagram) return false;
        decoded.push_back(size);
    }
    script = std::move(decoded);
    waits = static_cast<FloorWaits>(datagram[1]);
    return true;
}

}  // namespace krvbench
