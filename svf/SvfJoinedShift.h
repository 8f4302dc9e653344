// SPDX-License-Identifier: Apache-2.0
// The clocks of RUNTEST statements that need no wait, kept to go to the cable together with the
// next scan as one raw shift (the plug-in's "raw-shift" command): with shifts=merged a scan costs
// one request, and so does a RUNTEST and the scan after it. The TMS walks are the plug-in's own
// (koraven-cse-plugin/CseTapWalk.h), so the TAP passes the states a navigation would pass.
#pragma once

#include <cstdint>
#include <vector>

#include "koraven-cse-plugin/CseTypes.h"

namespace csesvf {

// The most bits a joined raw shift carries: one block of the debugger with both streams.
constexpr uint32_t kMaxJoinedBits = 61408;
// RUNTEST clocks kept for the next scan at the most; longer runs go as navigations.
constexpr uint32_t kMaxJoinedClocks = 4096;

class JoinedShift {
  public:
    [[nodiscard]] bool empty() const { return bits_ == 0; }
    [[nodiscard]] uint32_t bits() const { return bits_; }
    // Where the TAP stands once the kept clocks are clocked; `current` when none are kept.
    [[nodiscard]] CsePluginInterface::CseJtagTapState stateAfter(
        CsePluginInterface::CseJtagTapState current) const;

    // A RUNTEST from `from`: into `run` unless there, `clocks` TCKs in it, then on to `end`.
    void addRunTest(CsePluginInterface::CseJtagTapState from,
                    CsePluginInterface::CseJtagTapState run, uint32_t clocks,
                    CsePluginInterface::CseJtagTapState end);
    // The bits a scan of `bitCount` bits from `from` ending in `end` would add.
    [[nodiscard]] static uint32_t scanBits(CsePluginInterface::CseJtagTapState from,
                                           bool instruction, uint32_t bitCount,
                                           CsePluginInterface::CseJtagTapState end);
    // Appends the scan (walk in, data with TMS 1 on its last bit unless it stays, walk out) and
    // returns the bit at which its data starts in the stream.
    uint32_t addScan(CsePluginInterface::CseJtagTapState from, bool instruction,
                     const uint8_t* tdi, uint32_t bitCount,
                     CsePluginInterface::CseJtagTapState end);

    // The raw-shift command's input for everything kept (count, TMS, TDI); then nothing is kept.
    [[nodiscard]] std::vector<uint8_t> takeCommandInput();

  private:
    void push(bool tms, bool tdi);
    void pushWalk(CsePluginInterface::CseJtagTapState from,
                  CsePluginInterface::CseJtagTapState to);

    std::vector<uint8_t> tms_;
    std::vector<uint8_t> tdi_;
    uint32_t bits_ = 0;
    CsePluginInterface::CseJtagTapState end_ = CsePluginInterface::CSEJTAG_TEST_LOGIC_RESET;
};

}  // namespace csesvf
