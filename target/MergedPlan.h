// SPDX-License-Identifier: Apache-2.0
// How a merged chain shift is cut into raw shifts. A call whose walks and data fit in one raw
// shift carrying both streams goes as that one request; a longer one is bound by the bytes it
// moves, not by round trips, so it goes as the split sequence (walk in, data in pieces of one
// stream, walk out): a TMS bit for every data bit would cost more than the request it saves.
// A pure function.
#pragma once

#include <cstdint>

namespace CsePluginInterface {

struct MergedPlan {
    bool walkInWithData = false;   // the walk in rides with the data (both streams)
    bool walkOutWithData = false;  // the walk out rides with the data (both streams)
    uint32_t firstPieceBits = 0;   // data bits of the first piece, a multiple of 8 unless it is
                                   // the only one
    uint32_t requests = 0;         // raw shifts in all
};

// `walkIn` and `walkOut` are the walks' lengths (0: none), `dataBits` > 0; `oneStream` and
// `twoStreams` the most bits a raw shift takes with one stream and with two.
[[nodiscard]] constexpr MergedPlan planMergedShift(uint32_t walkIn, uint32_t walkOut,
                                                   uint32_t dataBits, uint32_t oneStream,
                                                   uint32_t twoStreams) noexcept {
    MergedPlan plan;
    const bool walks = walkIn + walkOut != 0;
    if (walks && walkIn + dataBits + walkOut <= twoStreams) {
        plan.walkInWithData = walkIn != 0;
        plan.walkOutWithData = walkOut != 0;
        plan.firstPieceBits = dataBits;
        plan.requests = 1;
        return plan;
    }
    plan.firstPieceBits = dataBits < oneStream ? dataBits : oneStream;
    plan.requests =
        (walkIn != 0 ? 1u : 0u) + (walkOut != 0 ? 1u : 0u) + (dataBits + oneStream - 1) / oneStream;
    return plan;
}

}  // namespace CsePluginInterface
