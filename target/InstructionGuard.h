// SPDX-License-Identifier: Apache-2.0
// What the plug-in knows of the instruction registers once it has reset the TAP itself to recover
// from a failed call, and the one rule every shift obeys, whatever path it takes (slots, merged
// shifts, the raw-shift command): no bit moves through a DR register until the instructions are
// known again. They are known again after a reset by the host, or after an IR shift that entered
// Capture-IR after the recovery and shifted at least the whole IR path before Update-IR.
//
//   knowledge \ host's clock into | Test-Logic-Reset | Capture-IR | Shift-IR (a bit) | Update-IR
//   Known                         | Known            | Known      | Known            | Known
//   Lost                          | Known            | Loading(0) | Lost             | Lost
//   Loading(k)                    | Known            | Loading(0) | Loading(k + 1)   | k >= IR path
//   ? Known : Lost
//
// A recovery makes it Lost from any state. While it is not Known, a shift that enters Capture-DR,
// and a DR shift or raw-shift stream that starts in the DR column (Capture-DR to Exit2-DR), is
// refused before anything moves: either would hand the host bits of a register it did not select.
// An IR shift from the DR column walks out as a navigation does. Navigations are never refused;
// their clocks are followed like any other. An IR path of unknown length (0) never makes it Known
// but by a reset.
#pragma once

#include <cstdint>

#include "koraven-cse-plugin/CseTypes.h"

namespace CsePluginInterface {

class InstructionGuard {
  public:
    enum class Knowledge { Known, Lost, Loading };

    // The TAP stands in `state` with the instructions the host set, as after its own reset.
    void reset(CseJtagTapState state) noexcept;
    // The plug-in reset the TAP and walked it back to `state` on its own.
    void recovered(CseJtagTapState state) noexcept;
    // Where the TAP stands, as the host's last operation left it.
    void moveTo(CseJtagTapState state) noexcept { at_ = state; }

    // The host's clocks as they were carried out: a TMS stream, or `bitCount` clocks of a shift
    // state with TMS 0 but the last, which has TMS 1 when the shift leaves the state.
    void followStream(const uint8_t* tms, uint32_t bitCount, uint32_t irPathBits) noexcept;
    void followShift(uint32_t bitCount, bool leaves, uint32_t irPathBits) noexcept;

    // Whether a shift from where the TAP stands may go: a TMS stream (the raw-shift command), or a
    // chain shift (the walk into `shift`, the data, out through Exit1 unless it stays, the walk to
    // `end`).
    [[nodiscard]] bool admitsStream(const uint8_t* tms, uint32_t bitCount,
                                    uint32_t irPathBits) const noexcept;
    [[nodiscard]] bool admitsChainShift(CseJtagTapState shift, uint32_t bitCount,
                                        CseJtagTapState end, uint32_t irPathBits) const noexcept;

    [[nodiscard]] Knowledge knowledge() const noexcept { return knowledge_; }
    [[nodiscard]] bool known() const noexcept { return knowledge_ == Knowledge::Known; }

  private:
    // One clock of the host's; false when it enters Capture-DR while the instructions are unknown.
    bool clock(bool tms, uint32_t irPathBits) noexcept;
    bool startsInDrColumn() const noexcept;
    bool walk(CseJtagTapState goal, uint32_t irPathBits) noexcept;

    Knowledge knowledge_ = Knowledge::Known;
    uint32_t loadedBits_ = 0;  // Shift-IR clocks since Capture-IR, while Loading
    CseJtagTapState at_ = CSEJTAG_TEST_LOGIC_RESET;
};

}  // namespace CsePluginInterface
