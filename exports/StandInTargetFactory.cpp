// Internal stand-in for builds without the cable target: a plug-in whose cable operations all fail.
// The debugger-backed target's factory replaces this file (see KRV_TARGET_FACTORY_SOURCES).
#include <new>

#include "exports/TargetFactory.h"

namespace CsePluginInterface {
namespace {

class CablelessStandInPlugin final : public CsePlugin {
  public:
    CSE_PLUGIN_DESTRUCTOR(CablelessStandInPlugin) = default;

  protected:
    using CsePlugin::navigateTAPImpl;

    CseResult openTargetImpl(uint32_t, const char* const*, uint32_t, uint32_t) override {
        return noCable();
    }
    CseResult closeTargetImpl() override { return noCable(); }
    CseResult navigateTAPImpl(CseJtagTapState, uint32_t) override { return noCable(); }
    CseResult initializeTAPImpl() override { return noCable(); }
    CseResult shiftChainIRImpl(const uint8_t*, uint8_t*, const uint8_t*, uint8_t*, uint32_t,
                               CseJtagTapState, uint32_t, uint32_t) override {
        return noCable();
    }
    CseResult shiftChainDRImpl(const uint8_t*, uint8_t*, const uint8_t*, uint8_t*, uint32_t,
                               CseJtagTapState, uint32_t, uint32_t) override {
        return noCable();
    }

  private:
    static CseResult noCable() {
        log(1, "<CsePlugin> no cable target in this build\n");
        return CSE_FAILURE;
    }
};

}  // namespace

CsePlugin* newTargetPlugin() noexcept {
    return new (std::nothrow) CablelessStandInPlugin();
}

}  // namespace CsePluginInterface
