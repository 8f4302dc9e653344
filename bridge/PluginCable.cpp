#include "bridge/PluginCable.h"

#include <algorithm>
#include <string>

#include "koraven-cse-plugin/CsePlugin.h"

namespace csebridge {
namespace {

// The most extra clocks one navigation sends; the plug-in quietly sends none beyond it.
constexpr uint32_t kMaxExtraClocks = 122816;

}  // namespace

void PluginCable::chainScan(bool ir, const uint8_t* tdi, uint8_t* tdo, uint32_t bits,
                            TapState endState) {
    const CsePluginInterface::CseResult result =
        ir ? plugin_.shiftChainIR(tdi, tdo, nullptr, nullptr, bits, endState, 0, 0)
           : plugin_.shiftChainDR(tdi, tdo, nullptr, nullptr, bits, endState, 0, 0);
    if (CsePluginInterface::cseFailed(result)) {
        throw CableError(std::string("the plug-in failed a ") + (ir ? "IR" : "DR") + " scan of " +
                         std::to_string(bits) + " bits");
    }
}

void PluginCable::navigate(TapState goal, uint32_t clocks) {
    uint32_t extra = std::min(clocks, kMaxExtraClocks);
    uint32_t left = clocks - extra;
    for (;;) {
        if (CsePluginInterface::cseFailed(plugin_.navigateTAP(goal, extra))) {
            throw CableError("the plug-in failed a TAP navigation to state " +
                             std::to_string(goal));
        }
        if (left == 0) return;
        // Once there, a navigation to the same resting state is one clock there and its extras.
        extra = std::min(left, kMaxExtraClocks + 1) - 1;
        left -= extra + 1;
    }
}

void PluginCable::resetTap() {
    if (CsePluginInterface::cseFailed(plugin_.initializeTAP())) {
        throw CableError("the plug-in failed the TMS reset");
    }
}

TapState PluginCable::tapState() {
    return plugin_.getTAPState();
}

}  // namespace csebridge
