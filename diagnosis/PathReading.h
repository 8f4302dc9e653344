// SPDX-License-Identifier: Apache-2.0
// What a path of the chain did with a step from zeros to ones, kept apart from the plug-in calls so
// that each reading can be checked on made-up bit streams.
#pragma once

#include <cstdint>

namespace csediag {

// What a path (IR or DR) did with a stream of flushBits zeros followed by flushBits ones.
struct PathReading {
    enum class Kind {
        kDelayed,    // the step from zeros to ones came out `length` bits later: the path length
        kStuckLow,   // TDO never left 0
        kStuckHigh,  // TDO never left 1
        kEchoesTdi,  // TDO equals TDI bit for bit: TDI and TDO shorted
        kOpen,       // the zeros never came out; TDO went to 1 for good after `length` bits
        kNoOnes,     // the ones never came out (a path longer than flushBits)
    };
    Kind kind = Kind::kDelayed;
    uint32_t length = 0;
};

[[nodiscard]] PathReading readPath(const uint8_t* tdo, uint32_t flushBits);

}  // namespace csediag
