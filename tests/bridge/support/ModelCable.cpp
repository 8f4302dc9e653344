// SPDX-License-Identifier: Apache-2.0
#include "support/ModelCable.h"

#include <stdexcept>
#include <string>

namespace bridgetest {

void ModelCable::shift(const uint8_t* tms, const uint8_t* tdi, uint8_t* tdo, uint32_t bitCount) {
    const bool failing = ++calls_ == failAtShift;
    if (away || failing) {
        throw std::runtime_error("the raw shift of " + std::to_string(bitCount) +
                                 " clocks failed (model)");
    }
    chain_.shift(bitCount, tms, tdi, tdo, false);
    shifts.push_back(bitCount);
}

void ModelCable::recover() {
    ++recoveries;
    if (away) throw std::runtime_error("the front end does not answer (model)");
    const uint8_t reset = 0x1F;  // five TMS ones, then one zero: Run-Test/Idle
    const uint8_t zero = 0;
    chain_.shift(6, &reset, &zero, nullptr, false);
}

}  // namespace bridgetest
