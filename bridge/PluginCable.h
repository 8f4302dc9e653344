// The bridge's cable on a locked plug-in object: chain scans, navigations and the TMS reset
// through its host interface. A failed call is thrown as CableError with a one-line reason.
#pragma once

#include <stdexcept>

#include "bridge/JtagCable.h"

namespace CsePluginInterface {
class ICsePlugin;
}

namespace csebridge {

class CableError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class PluginCable : public JtagCable {
  public:
    explicit PluginCable(CsePluginInterface::ICsePlugin& plugin) : plugin_(plugin) {}
    void chainScan(bool ir, const uint8_t* tdi, uint8_t* tdo, uint32_t bits,
                   TapState endState) override;
    void navigate(TapState goal, uint32_t clocks) override;
    void resetTap() override;
    TapState tapState() override;

  private:
    CsePluginInterface::ICsePlugin& plugin_;
};

}  // namespace csebridge
