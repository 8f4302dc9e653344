// The judgments of `diagnose` on what the chain gave back, kept apart from the plug-in calls so
// that each can be checked on made-up bit streams.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace csehost {

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

// Empty when the IDCODE looks sound, else why not (without the code, so that devices with the same
// problem can be named together): bit 0 clear, a manufacturer id of 0 or 0x7F (a continuation
// code, not an id), or a bank JEP106 has not opened.
[[nodiscard]] std::string idcodeProblem(uint32_t idcode);

// The banks JEP106 has opened so far: continuation codes 0 .. kJep106Banks - 1.
constexpr uint32_t kJep106Banks = 15;

}  // namespace csehost
