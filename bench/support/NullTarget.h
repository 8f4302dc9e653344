// SPDX-License-Identifier: Apache-2.0
// A cable target whose chain Impls do nothing but succeed (and record the TAP state a real
// target would reach): what remains of a call is the framework's own work.
#pragma once

#include "framework/CsePlugin.h"

namespace krvbench {

class NullTarget : public CsePluginInterface::CsePlugin {
  public:
    NullTarget() = default;
    CSE_PLUGIN_DESTRUCTOR(NullTarget) = default;

  protected:
    CsePluginInterface::CseResult openTargetImpl(uint32_t argc, const char* const* argv,
                                                 uint32_t opaque1, uint32_t opaque2) override;
    CsePluginInterface::CseResult closeTargetImpl() override;
    using CsePlugin::navigateTAPImpl;
    CsePluginInterface::CseResult navigateTAPImpl(CsePluginInterface::CseJtagTapState state,
                                                  uint32_t count) override;
    CsePluginInterface::CseResult initializeTAPImpl() override;
    CsePluginInterface::CseResult shiftChainIRImpl(const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                                                   const uint8_t* tdiAuxBuffer,
                                                   uint8_t* tdoAuxBuffer, uint32_t bitCount,
                                                   CsePluginInterface::CseJtagTapState endState,
                                                   uint32_t opaque1, uint32_t opaque2) override;
    CsePluginInterface::CseResult shiftChainDRImpl(const uint8_t* tdiBuffer, uint8_t* tdoBuffer,
                                                   const uint8_t* tdiAuxBuffer,
                                                   uint8_t* tdoAuxBuffer, uint32_t bitCount,
                                                   CsePluginInterface::CseJtagTapState endState,
                                                   uint32_t opaque1, uint32_t opaque2) override;
};

}  // namespace krvbench
