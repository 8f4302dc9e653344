// SPDX-License-Identifier: Apache-2.0
// The plug-in's debugger target against quorbit-sim with a fault plan: one pass of real operations
// (open, lock, scan, device-level IDCODE reads, 300000-bit DR shifts, chain IR shifts) in which
// every call either succeeds with exactly the bits the soak's independent model expects, or fails.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ReferenceChain.h"
#include "sim/QuorbitSim.h"
#include "target/QXCsePlugin.h"

namespace faults {

using namespace CsePluginInterface;

struct CallCounts {
    uint64_t calls = 0;
    uint64_t successes = 0;
    uint64_t failures = 0;
    uint64_t wrong = 0;  // successes whose bits, state or ID codes were not the expected ones
};

// Generous time-outs for runs that must not fail, short ones where failing is the point.
constexpr uint32_t kPatientMicros = 2000000;
constexpr uint32_t kShortHandshakeMicros = 20000;
constexpr uint32_t kShortReplyMicros = 80000;

class FaultSession : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts a new emulator (stopping an earlier one) with a fresh chain and this fault plan, on
    // the UDP port given (0: a free one).
    void startSimulator(const quorbit::FaultPlan& plan, uint16_t port = 0);
    static void useTimeouts(uint32_t handshakeMicros, uint32_t replyMicros);

    // open, lock, scan, IR lengths: true when the session is ready for device-level access.
    bool openAndPrepare();
    // One pass over the operations; stops at the first failing call. True when all succeeded.
    bool runScript();
    // openAndPrepare and runScript until `rounds` passes were tried; returns the complete passes.
    int runRounds(int rounds);
    // closeTarget when open; its result.
    CseResult close();
    // One line "[ figures  ] <test>, <what>: calls, successes, failures, wrong" on the output.
    void printFigures(const char* what) const;

    // retransmit= of the opens: off where a lost datagram must fail its call.
    std::string retransmit = "off";
    std::string shifts = "split";
    CallCounts counts;
    int openings = 0;  // successful openTarget calls
    std::vector<std::string> wrongResults;
    std::vector<std::string> failedCalls;  // name and link result of every failed call
    std::unique_ptr<quorbit::Simulator> simulator;
    // One object across emulators and sessions, as a host keeps it.
    std::unique_ptr<QXCsePlugin> plugin;
    std::unique_ptr<soak::ReferenceChain> model;

    // The model's side of a chain-level shift of `stream` ending in `end`; TDO of every bit.
    std::vector<soak::Trit> modelShift(bool instructionPath, const std::vector<uint8_t>& stream,
                                       uint32_t bitCount, soak::Tap end);

  private:
    template <typename Body>
    CseResult call(const char* what, Body&& body);
    bool expectBits(const std::vector<soak::Trit>& expected, size_t offset, const uint8_t* actual,
                    uint32_t bitCount, const std::string& what);
    bool expectState(const std::string& what);
    void modelLockOrScan();

    bool readIdcode(uint32_t device);
    bool longRegisterRoundTrip();
    bool bypassShifts();
};

// A reproducible pseudo-random bit buffer of bitCount bits (the bits above it zero).
std::vector<uint8_t> patternBits(uint32_t bitCount, uint32_t seed);

}  // namespace faults
