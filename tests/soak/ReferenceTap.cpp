// SPDX-License-Identifier: Apache-2.0
#include "ReferenceTap.h"

#include <array>
#include <cstddef>

namespace soak {
namespace {

struct Successors {
    Tap tmsLow;
    Tap tmsHigh;
};

// Indexed by state; written out from the standard's state diagram.
constexpr std::array<Successors, kTapStates> kDiagram = {{
    {Tap::Idle, Tap::Reset},          // Reset
    {Tap::Idle, Tap::SelectDr},       // Idle
    {Tap::CaptureDr, Tap::SelectIr},  // SelectDr
    {Tap::ShiftDr, Tap::Exit1Dr},     // CaptureDr
    {Tap::ShiftDr, Tap::Exit1Dr},     // ShiftDr
    {Tap::PauseDr, Tap::UpdateDr},    // Exit1Dr
    {Tap::PauseDr, Tap::Exit2Dr},     // PauseDr
    {Tap::ShiftDr, Tap::UpdateDr},    // Exit2Dr
    {Tap::Idle, Tap::SelectDr},       // UpdateDr
    {Tap::CaptureIr, Tap::Reset},     // SelectIr
    {Tap::ShiftIr, Tap::Exit1Ir},     // CaptureIr
    {Tap::ShiftIr, Tap::Exit1Ir},     // ShiftIr
    {Tap::PauseIr, Tap::UpdateIr},    // Exit1Ir
    {Tap::PauseIr, Tap::Exit2Ir},     // PauseIr
    {Tap::ShiftIr, Tap::UpdateIr},    // Exit2Ir
    {Tap::Idle, Tap::SelectDr},       // UpdateIr
}};

constexpr std::array<const char*, kTapStates> kNames = {
    "Reset",    "Idle",     "SelectDr",  "CaptureDr", "ShiftDr", "Exit1Dr", "PauseDr", "Exit2Dr",
    "UpdateDr", "SelectIr", "CaptureIr", "ShiftIr",   "Exit1Ir", "PauseIr", "Exit2Ir", "UpdateIr"};

unsigned index(Tap state) {
    return static_cast<unsigned>(state);
}

// No walk between two states is longer than this.
constexpr size_t kLongestWalk = 8;

bool isDrColumn(Tap state) {
    return state >= Tap::CaptureDr && state <= Tap::UpdateDr;
}

// Whether the walk clocks TMS 0 in state `at` on its way to `goal`.
bool takesTmsLow(Tap at, Tap goal) {
    switch (at) {
        case Tap::Reset:
            return goal != Tap::Reset;
        case Tap::Idle:
        case Tap::UpdateDr:
        case Tap::UpdateIr:
            return goal == Tap::Idle;
        // Run-Test/Idle is reached through the DR column, not through Test-Logic-Reset.
        case Tap::SelectDr:
            return goal == Tap::Idle || isDrColumn(goal);
        case Tap::CaptureDr:
        case Tap::ShiftDr:
            return goal == Tap::ShiftDr;
        case Tap::Exit1Dr:
            return goal == Tap::PauseDr || goal == Tap::Exit2Dr;
        case Tap::PauseDr:
            return goal == Tap::PauseDr;
        case Tap::Exit2Dr:
            return goal == Tap::ShiftDr;
        case Tap::SelectIr:
            return goal != Tap::Reset;
        case Tap::CaptureIr:
        case Tap::ShiftIr:
            return goal == Tap::ShiftIr;
        case Tap::Exit1Ir:
            return goal == Tap::PauseIr || goal == Tap::Exit2Ir;
        case Tap::PauseIr:
            return goal == Tap::PauseIr;
        case Tap::Exit2Ir:
            return goal == Tap::ShiftIr;
    }
    return false;
}

}  // namespace

Tap nextTap(Tap state, bool tms) {
    const Successors& next = kDiagram[index(state)];
    return tms ? next.tmsHigh : next.tmsLow;
}

std::vector<bool> navigationWalk(Tap from, Tap to) {
    std::vector<bool> walk;
    Tap at = from;
    do {
        const bool tms = !takesTmsLow(at, to);
        walk.push_back(tms);
        at = nextTap(at, tms);
    } while (at != to && walk.size() < kLongestWalk);
    return walk;
}

bool holdsWithTmsLow(Tap state) {
    return nextTap(state, false) == state;
}

const char* tapName(Tap state) {
    return index(state) < kTapStates ? kNames[index(state)] : "?";
}

}  // namespace soak
