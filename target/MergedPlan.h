// SPDX-License-Identifier: Apache-2.0
// How a merged chain shift is cut into raw shifts: which walk rides with the data and how long
// the first piece is, chosen so that the shift never costs more requests than the split sequence
// (walk in, data in pieces of one stream, walk out) and mostly fewer. A pure function.
#pragma once

#include <cstdint>

namespace CsePluginInterface {

struct MergedPlan {
    bool walkInWithData = false;   // the walk in rides in the first piece (both streams)
    bool walkOutWithData = false;  // the walk out rides in the last piece (both streams)
    uint32_t firstPieceBits = 0;   // data bits of the first piece, a multiple of 8 unless it is
                                   // the only one
    uint32_t lastPieceLimit = 0;   // the most data bits the last piece may take
    uint32_t requests = 0;         // raw shifts in all
};

// `walkIn` and `walkOut` are the walks' lengths (0: none), `dataBits` > 0; `oneStream` and
// `twoStreams` the most bits a raw shift takes with one stream and with two.
[[nodiscard]] constexpr MergedPlan planMergedShift(uint32_t walkIn, uint32_t walkOut,
                                                   uint32_t dataBits, uint32_t oneStream,
                                                   uint32_t twoStreams) noexcept {
    MergedPlan best;
    for (int in = walkIn != 0 ? 1 : 0; in >= 0; --in) {
        for (int out = walkOut != 0 ? 1 : 0; out >= 0; --out) {
            MergedPlan plan;
            plan.walkInWithData = in != 0;
            plan.walkOutWithData = out != 0;
            const uint32_t separateWalks =
                (walkIn != 0 && in == 0 ? 1u : 0u) + (walkOut != 0 && out == 0 ? 1u : 0u);
            const bool merged = in != 0 || out != 0;
            const uint32_t single = merged ? twoStreams - (in != 0 ? walkIn : 0u) -
                                                 (out != 0 ? walkOut : 0u)
                                           : oneStream;
            plan.lastPieceLimit = out != 0 ? twoStreams - walkOut : oneStream;
            if (dataBits <= single) {
                plan.firstPieceBits = dataBits;
                plan.requests = separateWalks + 1;
            } else {
                // Short of the end, so that the last piece has data; whole bytes, so that the
                // pieces after it start on a byte of the caller's buffers.
                const uint32_t first = in != 0 ? (twoStreams - walkIn) / 8 * 8 : oneStream;
                const uint32_t shortOfEnd = (dataBits - 1) / 8 * 8;
                plan.firstPieceBits = first < shortOfEnd ? first : shortOfEnd;
                const uint32_t rest = dataBits - plan.firstPieceBits;
                const uint32_t middle = rest > plan.lastPieceLimit ? rest - plan.lastPieceLimit : 0;
                plan.requests = separateWalks + 2 + (middle + oneStream - 1) / oneStream;
            }
            if (best.requests == 0 || plan.requests < best.requests) best = plan;
        }
    }
    return best;
}

}  // namespace CsePluginInterface
