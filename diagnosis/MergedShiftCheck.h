// SPDX-License-Identifier: Apache-2.0
// The "merged-shifts" check: the same data through the DR path in BYPASS once as the plug-in's
// chain shift (split: walk in, data and walk out as requests of their own) and once as one raw
// shift of TMS and TDI together (what shifts=merged sends), and whether the front end gives the
// same TDO both ways, so that shifts=merged is safe with it.
#pragma once

#include <cstdint>

#include "diagnosis/ChainDiagnosis.h"

namespace CsePluginInterface {
class ICsePlugin;
}

namespace csediag {

// Expects every device in BYPASS, `bypassBits` of them, and the TAP in Run-Test/Idle; leaves it
// there. `sessionMerged`: the session already sends merged shifts, so there is no split sequence
// left to compare with.
[[nodiscard]] Check checkMergedShifts(CsePluginInterface::ICsePlugin& plugin, bool sessionMerged,
                                      uint32_t bypassBits);

}  // namespace csediag
