// SPDX-License-Identifier: Apache-2.0
#include "support/ModelCable.h"

#include "bridge/TapWalk.h"

namespace bridgetest {

using namespace CsePluginInterface;

void ModelCable::walk(csebridge::TapState goal) {
    const csebridge::TmsWalk path = csebridge::walkTms(state(), goal);
    for (unsigned i = 0; i < path.length; ++i) chain_.clock(((path.bits >> i) & 1) != 0, false);
}

void ModelCable::chainScan(bool ir, const uint8_t* tdi, uint8_t* tdo, uint32_t bits,
                           csebridge::TapState endState) {
    const auto shift = ir ? CSEJTAG_SHIFT_IR : CSEJTAG_SHIFT_DR;
    calls.push_back(std::string("scan ") + (ir ? "IR " : "DR ") + std::to_string(bits) + " -> " +
                    std::to_string(endState));
    if (state() != shift) walk(shift);
    for (uint32_t b = 0; b < bits; ++b) {
        const bool out =
            chain_.clock(b + 1 == bits && endState != shift, (tdi[b / 8] >> (b % 8)) & 1);
        if (tdo != nullptr) {
            tdo[b / 8] =
                static_cast<uint8_t>((tdo[b / 8] & ~(1u << (b % 8))) | (out ? 1u << (b % 8) : 0));
        }
    }
    if (state() != endState) walk(endState);
}

void ModelCable::navigate(csebridge::TapState goal, uint32_t clocks) {
    calls.push_back("nav " + std::to_string(goal) + " +" + std::to_string(clocks));
    walk(goal);
    for (uint32_t i = 0; i < clocks; ++i) chain_.clock(false, false);
}

void ModelCable::resetTap() {
    calls.push_back("reset");
    for (int i = 0; i < 6; ++i) chain_.clock(true, false);
}

}  // namespace bridgetest
