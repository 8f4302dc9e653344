// SPDX-License-Identifier: Apache-2.0
// One soak run: quorbit-sim with a random chain and the fault plan of the options, the plug-in's
// debugger target driven through its C++ interface by a seeded random mix of operations, and every
// result held against the soak's own chain model.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ReferenceChain.h"
#include "SoakChain.h"
#include "SoakOptions.h"
#include "sim/QuorbitSim.h"
#include "target/QXCsePlugin.h"

namespace soak {

struct SoakReport {
    uint64_t operations = 0;  // host calls that may reach the debugger
    uint64_t successes = 0;
    uint64_t cleanFailures = 0;  // CSE_FAILURE, or an open that did not succeed
    uint64_t wrongResults = 0;  // success with a TDO bit, state or ID code the model disagrees with
    uint64_t timeouts = 0;      // failures whose last link result was "no acceptable reply"
    uint64_t reopenings = 0;    // close and open after a failure, or on purpose
    uint64_t refusals = 0;      // bad arguments refused as they must be (not counted as calls)
    uint64_t checkedBits = 0;   // TDO bits compared with the model
    uint64_t unknownBits = 0;   // TDO bits from registers a failed operation may have changed
    uint64_t hangs = 0;         // calls that took longer than any time-out could explain
    double longestCallMs = 0.0;
    uint64_t signals = 0;  // signals delivered during the run (--signal-storm-us)
    // Lossy mode.
    uint64_t wrongBits = 0;            // TDO bits of successful calls that the model disagrees with
    uint64_t silentWrongStates = 0;    // successful calls after which the plug-in's state is not
                                       // the emulator's
    uint64_t failureRuns = 0;          // runs of failed calls ended by a success
    uint64_t recoveredAfterOne = 0;    // of them, runs of exactly one failed call
    uint64_t runsNeedingReopen = 0;    // 10 failures in a row: a fault
    uint64_t tapRecoveries = 0;        // resets and walks back after a failed raw shift
    uint64_t resentFragments = 0;      // request fragments the link sent again
    uint64_t duplicatedDatagrams = 0;  // copies the network made, both ways
    // DR shifts the plug-in refused after its recovery reset, before the next IR shift (expected),
    // and those it carried out then (a fault: they would read the reset instruction's register).
    uint64_t drRefusals = 0;
    uint64_t drShiftsAfterRecovery = 0;
};

// The report as the program prints it, one "name: value" per line.
std::string formatReport(const SoakReport& report);

class SoakRunner {
  public:
    SoakRunner(const SoakOptions& options, std::ostream& out);
    ~SoakRunner();
    SoakRunner(const SoakRunner&) = delete;
    SoakRunner& operator=(const SoakRunner&) = delete;

    // False (with a reason) when the emulator does not start or no session can be opened at all.
    [[nodiscard]] bool run(SoakReport& report, std::string& error);

  private:
    enum class Outcome { Success, Failure, Wrong, Refused };
    using Plugin = CsePluginInterface::QXCsePlugin;
    using State = CsePluginInterface::CseJtagTapState;

    bool startEmulator(std::string& error);
    bool openSession();
    void step();

    Outcome navigate();
    Outcome chainShift(bool instructionPath);
    Outcome deviceAccess();
    Outcome scan();
    Outcome relock();
    Outcome refusedArguments();

    // Runs one host call, timing it and counting it.
    template <typename Call>
    int32_t call(Call&& body);
    void settle(Outcome outcome, const std::string& what);
    void settleLossy(Outcome outcome, const std::string& what);
    // After a call in which the plug-in reset the TAP and walked back to `recorded`, the model
    // does the same.
    void followRecovery(uint64_t recoveriesBefore, State recorded);
    Outcome compare(const std::vector<Trit>& expected, size_t offset, const uint8_t* actual,
                    uint32_t bitCount, const std::string& what);
    Outcome stateAgrees(const std::string& what);

    // The model's side of a chain-level shift of `stream` ending in `end`; TDO of every bit.
    std::vector<Trit> modelShift(bool instructionPath, const std::vector<uint8_t>& stream,
                                 uint32_t bitCount, Tap end);
    void modelReset();  // six TMS ones
    // 0, around `typical`, up to 5000 or up to the longest shift of the options; at most `limit`.
    uint32_t drawLength(uint32_t typical, uint32_t limit);
    State drawEndState();
    std::vector<uint8_t> drawBits(uint32_t bitCount);
    uint64_t draw(uint64_t low, uint64_t high);

    SoakOptions options_;
    std::ostream& out_;
    std::mt19937_64 random_;
    SoakChain chain_;
    std::unique_ptr<quorbit::Simulator> simulator_;
    std::unique_ptr<Plugin> plugin_;
    std::unique_ptr<ReferenceChain> model_;
    SoakReport report_;
    std::string currentStep_;
    uint64_t failuresInARow_ = 0;
    // After a failed call the model's TAP state is only right again once the plug-in put the TAP
    // in a known state (its reset and walk back, a lock, a scan, a new session).
    bool modelStateStale_ = false;
    // A call failed and no reset has been followed since: the chain may stand anywhere.
    bool tapUnknown_ = false;
    bool touchesTap_ = true;  // the step's calls moved the TAP
    // The plug-in reset the TAP to recover and no instruction was shifted since (its truth).
    bool recoveredSinceIrShift_ = false;
    // A call failed and the host has not shifted an instruction since (what the host knows).
    bool instructionsInDoubt_ = false;
    bool lastCallRefused_ = false;  // the last call failed as a DR shift refused after a recovery
    Outcome failureOf() const { return lastCallRefused_ ? Outcome::Refused : Outcome::Failure; }
    // The step that just ran was an IR shift, a reset, or a DR shift, when it succeeded.
    void noteInstructions(bool shifted);
    void noteDrShift();
};

}  // namespace soak
