// SPDX-License-Identifier: Apache-2.0
#include "target/TmsPathWalk.h"

#include "koraven-cse-plugin/CseTapWalk.h"

namespace CsePluginInterface {

bool tmsTowards(CseJtagTapState walking, CseJtagTapState goal) noexcept {
    return cseTmsTowards(walking, goal);
}

uint32_t walkTmsPath(CseJtagTapState from, CseJtagTapState goal,
                     uint8_t (&path)[kTmsPathBytes]) noexcept {
    static_assert(kCseMaxTmsWalkBits == kMaxTmsPathBits, "one rule, one longest walk");
    const CseTmsWalk walk = cseWalkTms(from, goal);
    if (walk.length == 0) return 0;
    // Ones and zeros are both written, so the caller's buffer needs no clearing.
    const uint8_t mask = static_cast<uint8_t>((1u << walk.length) - 1u);
    path[0] = static_cast<uint8_t>((path[0] & ~mask) | (walk.bits & mask));
    return walk.length;
}

}  // namespace CsePluginInterface
