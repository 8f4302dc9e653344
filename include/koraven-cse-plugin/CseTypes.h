// SPDX-License-Identifier: Apache-2.0
// Result codes and the TAP state type shared by the host interface, the framework and every target.
#pragma once

#include <cstdint>
#include <limits>

namespace CsePluginInterface {

// Signed 32-bit result of every host-facing operation; the low 16 bits of a failure are its error
// code.
using CseResult = int32_t;

constexpr CseResult CSE_SUCCESS = 0;
constexpr CseResult CSE_FAILURE = std::numeric_limits<int32_t>::min();  // 0x80000000

// A result is a failure exactly when its top bit is set; any other value counts as success.
constexpr bool cseFailed(CseResult result) {
    return result < 0;
}

// The sixteen TAP controller states in IEEE 1149.1 order; the host passes them as 32-bit values,
// so a value outside 0..15 can arrive and every user must cope with it.
enum CseJtagTapState : uint32_t {
    CSEJTAG_TEST_LOGIC_RESET = 0,
    CSEJTAG_RUN_TEST_IDLE = 1,
    CSEJTAG_SELECT_DR_SCAN = 2,
    CSEJTAG_CAPTURE_DR = 3,
    CSEJTAG_SHIFT_DR = 4,
    CSEJTAG_EXIT1_DR = 5,
    CSEJTAG_PAUSE_DR = 6,
    CSEJTAG_EXIT2_DR = 7,
    CSEJTAG_UPDATE_DR = 8,
    CSEJTAG_SELECT_IR_SCAN = 9,
    CSEJTAG_CAPTURE_IR = 10,
    CSEJTAG_SHIFT_IR = 11,
    CSEJTAG_EXIT1_IR = 12,
    CSEJTAG_PAUSE_IR = 13,
    CSEJTAG_EXIT2_IR = 14,
    CSEJTAG_UPDATE_IR = 15,
};

constexpr uint32_t kTapStateCount = 16;

constexpr bool isValidTapState(uint32_t state) {
    return state < kTapStateCount;
}

}  // namespace CsePluginInterface
