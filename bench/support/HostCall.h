// SPDX-License-Identifier: Apache-2.0
// One host call through the plug-in, the unit that the end-to-end benchmarks time: a chain DR
// shift, a TAP navigation, a device-level IDCODE read or a device-level DR shift. Each is checked
// once against the demo chain before it is timed, so that a figure never comes from a call that
// does not do its work.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/CsePlugin.h"

namespace krvbench {

enum class CallKind {
    ChainDR,         // shiftChainDR through the whole chain, every device in BYPASS
    Navigate,        // navigateTAP, Run-Test/Idle and Pause-DR in turn
    NavigateClocks,  // the same with 10 TCKs in the state reached
    IdcodeRead,      // readDeviceDR of 32 bits from the middle device with IDCODE selected
    DeviceDR,        // shiftDeviceDR through the middle device, every device in BYPASS
};

// Whether the host has registered its callbacks (here: ones that format every line they get).
enum class HostCallbacks { None, Formatting };

// How the plug-in sends its chain shifts: the open argument shifts=split or shifts=merged.
enum class Shifts { Split, Merged };

struct CallSetup {
    CallKind kind = CallKind::ChainDR;
    uint32_t bitCount = 0;
    int packetLength = 1024;
    HostCallbacks hostCallbacks = HostCallbacks::None;
    Shifts shifts = Shifts::Split;
};

class HostCall {
  public:
    explicit HostCall(CallSetup setup) : setup_(setup) {}

    // Selects the instructions, fills the buffers and checks one call's result.
    [[nodiscard]] bool prepare(CsePluginInterface::CsePlugin& plugin, std::string& error);
    // The call itself; true on CSE_SUCCESS.
    bool operator()(CsePluginInterface::CsePlugin& plugin);
    // How often the call was made, the check in prepare included.
    uint64_t callsMade() const { return callsMade_; }

  private:
    bool selectInstruction(CsePluginInterface::CsePlugin& plugin, bool bypass);
    bool checkResult(std::string& error) const;

    CallSetup setup_;
    std::vector<uint8_t> tdi_;
    std::vector<uint8_t> tdo_;
    bool towardsPause_ = false;
    uint64_t callsMade_ = 0;
};

// The delay in bits (0..8) by which `out` repeats `in`, or -1 when it does not.
int delayOf(const std::vector<uint8_t>& in, const std::vector<uint8_t>& out, uint32_t bitCount);

}  // namespace krvbench
