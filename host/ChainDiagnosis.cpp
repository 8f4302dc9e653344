#include "host/ChainDiagnosis.h"

#include <cstdio>

#include "session/HexBits.h"
#include "host/IdcodeFields.h"

namespace csehost {

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

std::string idcodeProblem(uint32_t idcode) {
    if ((idcode & 1u) == 0) return "bit 0 clear";
    const IdcodeFields fields = decodeIdcode(idcode);
    char text[96] = {};
    if (fields.id == 0 || fields.id == 0x7F) {
        std::snprintf(text, sizeof text, "manufacturer id 0x%02X, which JEP106 never assigns",
                      fields.id);
    } else if (fields.bank > kJep106Banks) {
        std::snprintf(text, sizeof text, "JEP106 bank %u, which does not exist", fields.bank);
    }
    return text;
}

}  // namespace csehost
