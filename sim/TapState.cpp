// SPDX-License-Identifier: Apache-2.0
#include "sim/TapState.h"

#include <array>

namespace quorbit {
namespace {

struct Successors {
    TapState onZero;
    TapState onOne;
};

// The IEEE 1149.1 state diagram, indexed by state.
constexpr std::array<Successors, kTapStateCount> kSuccessors{{
    {TapState::RunTestIdle, TapState::TestLogicReset},  // Test-Logic-Reset
    {TapState::RunTestIdle, TapState::SelectDrScan},    // Run-Test/Idle
    {TapState::CaptureDr, TapState::SelectIrScan},      // Select-DR-Scan
    {TapState::ShiftDr, TapState::Exit1Dr},             // Capture-DR
    {TapState::ShiftDr, TapState::Exit1Dr},             // Shift-DR
    {TapState::PauseDr, TapState::UpdateDr},            // Exit1-DR
    {TapState::PauseDr, TapState::Exit2Dr},             // Pause-DR
    {TapState::ShiftDr, TapState::UpdateDr},            // Exit2-DR
    {TapState::RunTestIdle, TapState::SelectDrScan},    // Update-DR
    {TapState::CaptureIr, TapState::TestLogicReset},    // Select-IR-Scan
    {TapState::ShiftIr, TapState::Exit1Ir},             // Capture-IR
    {TapState::ShiftIr, TapState::Exit1Ir},             // Shift-IR
    {TapState::PauseIr, TapState::UpdateIr},            // Exit1-IR
    {TapState::PauseIr, TapState::Exit2Ir},             // Pause-IR
    {TapState::ShiftIr, TapState::UpdateIr},            // Exit2-IR
    {TapState::RunTestIdle, TapState::SelectDrScan},    // Update-IR
}};

constexpr std::array<const char*, kTapStateCount> kNames{{
    "Test-Logic-Reset",
    "Run-Test/Idle",
    "Select-DR-Scan",
    "Capture-DR",
    "Shift-DR",
    "Exit1-DR",
    "Pause-DR",
    "Exit2-DR",
    "Update-DR",
    "Select-IR-Scan",
    "Capture-IR",
    "Shift-IR",
    "Exit1-IR",
    "Pause-IR",
    "Exit2-IR",
    "Update-IR",
}};

}  // namespace

TapState nextTapState(TapState state, bool tms) {
    const auto index = static_cast<std::size_t>(state);
    if (index >= kSuccessors.size()) return TapState::TestLogicReset;
    return tms ? kSuccessors[index].onOne : kSuccessors[index].onZero;
}

const char* tapStateName(TapState state) {
    const auto index = static_cast<std::size_t>(state);
    return index < kNames.size() ? kNames[index] : "?";
}

}  // namespace quorbit
