// SPDX-License-Identifier: Apache-2.0
#include "support/NullTarget.h"

namespace krvbench {

using namespace CsePluginInterface;

CseResult NullTarget::openTargetImpl(uint32_t, const char* const*, uint32_t, uint32_t) {
    return CSE_SUCCESS;
}

CseResult NullTarget::closeTargetImpl() {
    return CSE_SUCCESS;
}

CseResult NullTarget::navigateTAPImpl(CseJtagTapState state, uint32_t) {
    tapState.set(state);
    return CSE_SUCCESS;
}

CseResult NullTarget::initializeTAPImpl() {
    tapState.set(CSEJTAG_TEST_LOGIC_RESET);
    return CSE_SUCCESS;
}

CseResult NullTarget::shiftChainIRImpl(const uint8_t*, uint8_t*, const uint8_t*, uint8_t*, uint32_t,
                                       CseJtagTapState endState, uint32_t, uint32_t) {
    tapState.set(endState);
    return CSE_SUCCESS;
}

CseResult NullTarget::shiftChainDRImpl(const uint8_t*, uint8_t*, const uint8_t*, uint8_t*, uint32_t,
                                       CseJtagTapState endState, uint32_t, uint32_t) {
    tapState.set(endState);
    return CSE_SUCCESS;
}

}  // namespace krvbench
