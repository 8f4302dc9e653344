// SPDX-License-Identifier: Apache-2.0
#include "diagnosis/PathReading.h"

#include "session/HexBits.h"

namespace csediag {

using csesession::bitAt;

PathReading readPath(const uint8_t* tdo, uint32_t flushBits) {
    const uint32_t bitCount = 2 * flushBits;
    uint32_t ones = 0;
    bool echoes = true;
    for (uint32_t bit = 0; bit < bitCount; ++bit) {
        const bool out = bitAt(tdo, bit);
        ones += out ? 1 : 0;
        echoes = echoes && out == (bit >= flushBits);
    }
    PathReading reading;
    if (ones == 0) reading.kind = PathReading::Kind::kStuckLow;
    if (ones == bitCount) reading.kind = PathReading::Kind::kStuckHigh;
    if (ones == 0 || ones == bitCount) return reading;
    if (echoes) {
        reading.kind = PathReading::Kind::kEchoesTdi;
        return reading;
    }
    uint32_t end = bitCount;  // one past the last zero
    while (end > 0 && bitAt(tdo, end - 1)) --end;
    if (end == bitCount) {
        reading.kind = PathReading::Kind::kNoOnes;
    } else if (end <= flushBits) {
        // Only what the path held came out, then ones: the zeros from TDI did not get through.
        reading.kind = PathReading::Kind::kOpen;
        reading.length = end;
    } else {
        reading.length = end - flushBits;
    }
    return reading;
}

}  // namespace csediag
