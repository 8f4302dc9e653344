// SPDX-License-Identifier: Apache-2.0
#include "SoakRunner.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ostream>
#include <sstream>

#include "SignalStorm.h"
#include "framework/CallbackRecord.h"
#include "remote/RemoteLink.h"
#include "remote/RemoteLinkTesting.h"

namespace soak {
namespace {

using namespace CsePluginInterface;

constexpr int kMaxOpenAttempts = 40;
// One call sends at most a few requests of some fifteen datagrams each, and every datagram may
// wait one time-out; beyond this the call has hung.
constexpr unsigned kTimeoutsPerCall = 120;

constexpr uint64_t kFailuresBeforeReopen = 10;
constexpr char kDefaultNetFaults[] =
    "drop-in=0.01,drop-out=0.01,dup-in=0.01,dup-out=0.01,reorder-in=0.01,reorder-out=0.01,"
    "delay-in=1-30ms,delay-out=1-30ms";

std::string gLastError;       // the latest error message of the plug-in, for diagnostics
uint64_t gTapRecoveries = 0;  // the plug-in's warnings that it reset the TAP and walked back
uint64_t gDrRefusals = 0;     // its refusals of DR shifts after such a reset

void onMessage(uint32_t, uint32_t category, const char* text) {
    if (category == CSE_MESSAGE_ERROR && text != nullptr) gLastError = text;
    if (category == CSE_MESSAGE_ERROR && text != nullptr &&
        std::string(text).find("shift the instructions again") != std::string::npos) {
        ++gDrRefusals;
    }
    if (category == CSE_MESSAGE_WARNING && text != nullptr &&
        std::string(text).find("resetting the TAP and walking back") != std::string::npos) {
        ++gTapRecoveries;
    }
}

void installCallbacks() {
    CsePluginCallbacks callbacks{};
    callbacks.messageCallback = onMessage;
    CallbackRecord::replace(callbacks);
}

Tap tapOf(CseJtagTapState state) {
    return static_cast<Tap>(state);
}

// A stream of bitCount bits, every bit the same value.
std::vector<uint8_t> filledStream(uint32_t bitCount, bool value) {
    std::vector<uint8_t> stream((bitCount + 7) / 8 + 1, value ? 0xFF : 0x00);
    return stream;
}

void copyInto(std::vector<uint8_t>& stream, uint32_t at, const std::vector<uint8_t>& bits,
              uint32_t bitCount) {
    for (uint32_t k = 0; k < bitCount; ++k) {
        const uint32_t to = at + k;
        const uint8_t mask = static_cast<uint8_t>(1u << (to % 8));
        if (bufferBit(bits.data(), k)) {
            stream[to / 8] |= mask;
        } else {
            stream[to / 8] &= static_cast<uint8_t>(~mask);
        }
    }
}

}  // namespace

std::string formatReport(const SoakReport& report) {
    std::ostringstream text;
    text << "operations: " << report.operations << "\n"
         << "successes: " << report.successes << "\n"
         << "clean failures: " << report.cleanFailures << "\n"
         << "wrong results: " << report.wrongResults << "\n"
         << "time-outs: " << report.timeouts << "\n"
         << "reopenings: " << report.reopenings << "\n"
         << "refused bad arguments: " << report.refusals << "\n"
         << "TDO bits checked: " << report.checkedBits << "\n"
         << "TDO bits of unknown registers: " << report.unknownBits << "\n"
         << "hangs: " << report.hangs << "\n"
         << "longest call (ms): " << static_cast<uint64_t>(report.longestCallMs) << "\n"
         << "signals: " << report.signals << "\n"
         << "wrong bits: " << report.wrongBits << "\n"
         << "silent wrong states: " << report.silentWrongStates << "\n"
         << "failure runs: " << report.failureRuns << "\n"
         << "runs recovered after one failed call: " << report.recoveredAfterOne << "\n"
         << "runs that needed a reopen: " << report.runsNeedingReopen << "\n"
         << "TAP resets after a failed shift: " << report.tapRecoveries << "\n"
         << "resent fragments: " << report.resentFragments << "\n"
         << "duplicated datagrams: " << report.duplicatedDatagrams << "\n"
         << "DR shifts refused after a recovery: " << report.drRefusals << "\n"
         << "DR shifts carried out after a recovery: " << report.drShiftsAfterRecovery << "\n";
    if (report.duplicatedDatagrams != 0) {
        text << "resent fragments per duplicated datagram: "
             << static_cast<double>(report.resentFragments) /
                    static_cast<double>(report.duplicatedDatagrams)
             << "\n";
    }
    return text.str();
}

SoakRunner::SoakRunner(const SoakOptions& options, std::ostream& out)
    : options_(options), out_(out), random_(options.seed) {}

SoakRunner::~SoakRunner() {
    plugin_.reset();
    KRV_Disconnect();
    LinkSetTimeoutsForTest(0, 0);
    CallbackRecord::replace(CsePluginCallbacks{});
    if (simulator_) simulator_->stop();
}

bool SoakRunner::run(SoakReport& report, std::string& error) {
    // The target scan is what the soak checks; a description file would replace it.
    unsetenv("CSE_JTAGFILE");
    installCallbacks();
    SignalStorm::blockForNewThreads();
    if (!startEmulator(error)) return false;
    const uint64_t signalsBefore = SignalStorm::delivered();
    const SignalStorm storm(options_.signalStormMicros);
    plugin_ = std::make_unique<Plugin>();
    const uint32_t timeoutMicros = options_.timeoutMs * 1000u;
    LinkSetTimeoutsForTest(timeoutMicros, timeoutMicros);
    if (!openSession()) {
        error = "no session could be opened: " + gLastError;
        report = report_;
        return false;
    }
    while (report_.operations < options_.operations) step();
    if (plugin_->isOpened()) (void)plugin_->closeTarget();
    report_.signals = SignalStorm::delivered() - signalsBefore;
    report_.tapRecoveries = gTapRecoveries;
    report_.resentFragments = LinkStateForTest().resentFragments;
    const quorbit::SimCounters counters = simulator_->counters();
    report_.duplicatedDatagrams = counters.duplicatedIn + counters.duplicatedOut;
    report = report_;
    return true;
}

bool SoakRunner::startEmulator(std::string& error) {
    ChainShape shape;
    shape.devices = options_.devices;
    shape.longestUserRegister = options_.longestShiftBits;
    chain_ = randomChain(shape, random_);
    if (!quorbit::validateChain(chain_.emulated, error)) return false;
    model_ = std::make_unique<ReferenceChain>(chain_.modelled);

    quorbit::SimOptions sim;
    sim.port = 0;
    sim.chain = chain_.emulated;
    const double rate = options_.faultRate;
    quorbit::FaultPlan& faults = sim.faults;
    if (options_.lossy) {
        const std::string list =
            options_.netFaults.empty() ? kDefaultNetFaults : options_.netFaults;
        if (!quorbit::parseFaultList(list, faults, error)) return false;
        faults.seed = options_.seed;
        simulator_ = std::make_unique<quorbit::Simulator>(sim);
        return simulator_->start(error);
    }
    faults.seed = options_.seed;
    faults.dropIn = rate;
    faults.dropOut = rate;
    faults.duplicateReply = rate;
    faults.staleFirst = rate;
    faults.busyFirst = rate;
    faults.sameToggleFirst = rate;
    faults.notify = rate;
    faults.tokenFirst = rate;
    faults.tokensBetween = rate;
    faults.spoof = rate;
    if (rate > 0.0) faults.ackEvery = 3;
    simulator_ = std::make_unique<quorbit::Simulator>(sim);
    return simulator_->start(error);
}

bool SoakRunner::openSession() {
    const std::string port = "port=" + std::to_string(simulator_->udpPort());
    const char* const argv[] = {"node=127.0.0.1", port.c_str()};
    for (int attempt = 0; attempt < kMaxOpenAttempts; ++attempt) {
        if (plugin_->isOpened()) (void)call([&] { return plugin_->closeTarget(); });
        if (call([&] { return plugin_->openTarget(2, argv, 0, 0); }) != CSE_SUCCESS) continue;
        if (call([&] { return plugin_->lockTarget(0); }) != CSE_SUCCESS) continue;
        modelReset();
        model_->walkTo(Tap::Idle);
        currentStep_ = "scan after open";
        if (scan() != Outcome::Success) continue;
        for (uint32_t i = 0; i < chain_.modelled.size(); ++i) {
            (void)plugin_->setIRLength(i, chain_.modelled[i].irLength);
        }
        noteInstructions(true);
        return true;
    }
    return false;
}

void SoakRunner::step() {
    const uint64_t kind = draw(0, 99);
    Outcome outcome = Outcome::Success;
    if (kind < 12) {
        outcome = navigate();
    } else if (kind < 26) {
        outcome = chainShift(true);
    } else if (kind < 48) {
        // A careful host loads its instructions again after a failed call before a DR shift.
        const bool reload = options_.lossy && !options_.naiveHost && instructionsInDoubt_;
        outcome = chainShift(reload);
    } else if (kind < 86) {
        outcome = deviceAccess();
    } else if (kind < 89) {
        currentStep_ = "scan";
        outcome = scan();
    } else if (kind < 93) {
        outcome = relock();
    } else if (kind < 95) {
        currentStep_ = "reopen on purpose";
        ++report_.reopenings;
        if (!openSession()) outcome = Outcome::Failure;
    } else {
        outcome = refusedArguments();
    }
    if (outcome == Outcome::Success || outcome == Outcome::Refused) {
        if (stateAgrees(currentStep_) != Outcome::Success) outcome = Outcome::Wrong;
    }
    touchesTap_ = kind < 95;  // the refused arguments never reach the TAP
    settle(outcome, currentStep_);
}

template <typename Call>
int32_t SoakRunner::call(Call&& body) {
    const State recorded = plugin_->getTAPState();
    const uint64_t recoveriesBefore = gTapRecoveries;
    // After a failure that needed no reset, the plug-in goes on from the state it recorded (a
    // failed lock's walk to Run-Test/Idle, say); the model follows the same walk. Whether the
    // chain is there is what the emulator's state tells after the call.
    if (modelStateStale_ && model_ && model_->state() != tapOf(recorded)) {
        model_->walkTo(tapOf(recorded));
        // The model's way there was not the chain's: what it shifted on the way is not known.
        model_->forgetUserRegisters();
    }
    modelStateStale_ = false;
    const auto start = std::chrono::steady_clock::now();
    const uint64_t refusalsBefore = gDrRefusals;
    const int32_t result = body();
    followRecovery(recoveriesBefore, recorded);
    if (gTapRecoveries != recoveriesBefore) recoveredSinceIrShift_ = true;
    // A DR shift refused after a recovery is what the host must expect, not a failure.
    const bool refused = result != CSE_SUCCESS && gDrRefusals != refusalsBefore;
    lastCallRefused_ = refused;
    if (refused) ++report_.drRefusals;
    if (options_.lossy && !refused) {
        if (result != CSE_SUCCESS) {
            ++failuresInARow_;
        } else if (failuresInARow_ != 0) {
            ++report_.failureRuns;
            if (failuresInARow_ == 1) ++report_.recoveredAfterOne;
            failuresInARow_ = 0;
        }
    }
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (ms > report_.longestCallMs) report_.longestCallMs = ms;
    if (ms > static_cast<double>(options_.timeoutMs) * kTimeoutsPerCall + 2000.0) ++report_.hangs;
    ++report_.operations;
    if (result == CSE_SUCCESS) {
        ++report_.successes;
    } else if (!refused) {
        ++report_.cleanFailures;
        if (KRV_LastResult() == -1) ++report_.timeouts;
    }
    return result;
}

void SoakRunner::noteInstructions(bool shifted) {
    if (!shifted) return;
    recoveredSinceIrShift_ = false;
    instructionsInDoubt_ = false;
}

void SoakRunner::noteDrShift() {
    if (!recoveredSinceIrShift_) return;
    ++report_.drShiftsAfterRecovery;
    out_ << "DR SHIFT AFTER A RECOVERY: " << currentStep_ << " [seed " << options_.seed
         << ", call " << report_.operations << "]\n";
}

void SoakRunner::followRecovery(uint64_t recoveriesBefore, State recorded) {
    if (gTapRecoveries == recoveriesBefore || !model_) return;
    modelReset();
    model_->walkTo(tapOf(recorded));
    modelStateStale_ = false;
}

void SoakRunner::settleLossy(Outcome outcome, const std::string& what) {
    // A refused DR shift moved nothing but what the recovery before it moved (followed already).
    if (outcome == Outcome::Refused) return;
    if (outcome == Outcome::Success) {
        // The emulator's TAP is the truth the plug-in's recorded state must match once it moved
        // the TAP.
        if (touchesTap_ &&
            static_cast<Tap>(simulator_->tapState()) != tapOf(plugin_->getTAPState())) {
            ++report_.silentWrongStates;
            out_ << "SILENT WRONG state " << tapName(tapOf(plugin_->getTAPState())) << " (chain in "
                 << tapName(static_cast<Tap>(simulator_->tapState())) << ") after " << what
                 << " [seed " << options_.seed << ", call " << report_.operations << "]\n";
        }
        return;
    }
    // The failed call may have changed any user register; the TAP is put right by the plug-in's
    // next operation, which the model follows. A wrong result leaves the model behind: reopen.
    model_->forgetUserRegisters();
    instructionsInDoubt_ = true;
    tapUnknown_ = true;
    modelStateStale_ = true;
    if (outcome == Outcome::Failure && failuresInARow_ < kFailuresBeforeReopen) return;
    if (outcome == Outcome::Failure) {
        ++report_.runsNeedingReopen;
        out_ << "REOPEN after " << failuresInARow_ << " failures in a row, the last: " << what
             << " (" << gLastError << ")\n";
        failuresInARow_ = 0;
    }
    ++report_.reopenings;
    if (!openSession()) {
        out_ << "no session after a failure of: " << what << " (" << gLastError << ")\n";
    }
}

void SoakRunner::settle(Outcome outcome, const std::string& what) {
    if (options_.verbose) {
        out_ << (outcome == Outcome::Success   ? "ok     "
                 : outcome == Outcome::Failure ? "failed "
                 : outcome == Outcome::Refused ? "refused "
                                               : "WRONG  ")
             << what << "\n";
    }
    if (options_.lossy) {
        settleLossy(outcome, what);
        return;
    }
    if (outcome == Outcome::Success || outcome == Outcome::Refused) return;
    // The debugger may or may not have carried out what failed: the registers that could have
    // changed are unknown until written again, and a new session puts the TAP back in a known
    // state.
    model_->forgetUserRegisters();
    ++report_.reopenings;
    if (!openSession()) {
        out_ << "no session after a failure of: " << what << " (" << gLastError << ")\n";
    }
}

SoakRunner::Outcome SoakRunner::compare(const std::vector<Trit>& expected, size_t offset,
                                        const uint8_t* actual, uint32_t bitCount,
                                        const std::string& what) {
    for (uint32_t k = 0; k < bitCount; ++k) {
        const Trit want = expected[offset + k];
        if (want == kUnknown) {
            ++report_.unknownBits;
            continue;
        }
        ++report_.checkedBits;
        if (want == (bufferBit(actual, k) ? 1 : 0)) continue;
        ++report_.wrongResults;
        out_ << "WRONG TDO bit " << k << " of " << bitCount << " (expected " << int(want) << ") in "
             << what << " [seed " << options_.seed << ", call " << report_.operations << "]\n";
        for (uint32_t rest = k; rest < bitCount; ++rest) {
            const Trit expectedBit = expected[offset + rest];
            if (expectedBit != kUnknown && expectedBit != (bufferBit(actual, rest) ? 1 : 0))
                ++report_.wrongBits;
        }
        return Outcome::Wrong;
    }
    return Outcome::Success;
}

SoakRunner::Outcome SoakRunner::stateAgrees(const std::string& what) {
    if (modelStateStale_) return Outcome::Success;
    const Tap reported = tapOf(plugin_->getTAPState());
    if (reported == model_->state()) return Outcome::Success;
    ++report_.wrongResults;
    out_ << "WRONG state " << tapName(reported) << " (expected " << tapName(model_->state())
         << ") after " << what << " [seed " << options_.seed << ", call " << report_.operations
         << "]\n";
    return Outcome::Wrong;
}

std::vector<Trit> SoakRunner::modelShift(bool instructionPath, const std::vector<uint8_t>& stream,
                                         uint32_t bitCount, Tap end) {
    const Tap shiftState = instructionPath ? Tap::ShiftIr : Tap::ShiftDr;
    if (model_->state() != shiftState) model_->walkTo(shiftState);
    std::vector<Trit> tdo = model_->shift(bitCount, stream.data(), end != shiftState);
    if (model_->state() != end) model_->walkTo(end);
    return tdo;
}

void SoakRunner::modelReset() {
    const bool fromAnywhere = tapUnknown_;
    modelStateStale_ = false;
    tapUnknown_ = false;
    for (int i = 0; i < 6; ++i) (void)model_->clock(true, false);
    // From a state the chain may not have been in, the way to reset may pass Update-DR with
    // other bits in the register than the model's.
    if (fromAnywhere) model_->forgetUserRegisters();
}

// ---- Operations -------------------------------------------------------------------------------

SoakRunner::Outcome SoakRunner::navigate() {
    const auto goal = static_cast<State>(draw(0, 15));
    uint32_t count = 0;
    // Extra clocks hold TMS at 0, which keeps only these states where they are.
    if (holdsWithTmsLow(tapOf(goal)) && draw(0, 2) == 0) count = static_cast<uint32_t>(draw(1, 40));
    currentStep_ =
        std::string("navigate to ") + tapName(tapOf(goal)) + " +" + std::to_string(count);
    if (call([&] { return plugin_->navigateTAP(goal, count); }) != CSE_SUCCESS) {
        return Outcome::Failure;
    }
    noteInstructions(goal == CSEJTAG_TEST_LOGIC_RESET);  // the host's own reset
    model_->walkTo(tapOf(goal));
    for (uint32_t i = 0; i < count; ++i) (void)model_->clock(false, false);
    return Outcome::Success;
}

SoakRunner::Outcome SoakRunner::chainShift(bool instructionPath) {
    const uint32_t typical =
        static_cast<uint32_t>(instructionPath ? model_->irPathLength() : model_->drPathLength());
    const State end = drawEndState();
    // An IR shift, and a DR shift that stays in Shift-DR, is one raw shift; longer ones are refused
    // (refusedArguments tries that).
    const bool oneRawShift = instructionPath || end == CSEJTAG_SHIFT_DR;
    const uint32_t bitCount = drawLength(typical, oneRawShift ? kMaxRawShiftBits : UINT32_MAX);
    const uint64_t variant = draw(0, 2);  // shift, read, write
    const char* names[2][3] = {{"shiftChainDR", "readChainDR", "writeChainDR"},
                               {"shiftChainIR", "readChainIR", "writeChainIR"}};
    currentStep_ = std::string(names[instructionPath][variant]) + " " + std::to_string(bitCount) +
                   " bits to " + tapName(tapOf(end));
    const bool tdiValue = draw(0, 1) == 1;
    std::vector<uint8_t> tdi = variant == 1 ? filledStream(bitCount, tdiValue) : drawBits(bitCount);
    std::vector<uint8_t> tdo(tdi.size(), 0xA5);
    int32_t result = CSE_FAILURE;
    if (variant == 0) {
        result = call([&] {
            return instructionPath ? plugin_->shiftChainIR(tdi.data(), tdo.data(), nullptr, nullptr,
                                                           bitCount, end, 0, 0)
                                   : plugin_->shiftChainDR(tdi.data(), tdo.data(), nullptr, nullptr,
                                                           bitCount, end, 0, 0);
        });
    } else if (variant == 1) {
        result = call([&] {
            return instructionPath
                       ? plugin_->readChainIR(tdiValue, tdo.data(), nullptr, bitCount, end, 0, 0)
                       : plugin_->readChainDR(tdiValue, tdo.data(), nullptr, bitCount, end, 0, 0);
        });
    } else {
        result = call([&] {
            return instructionPath
                       ? plugin_->writeChainIR(tdi.data(), nullptr, bitCount, end, 0, 0)
                       : plugin_->writeChainDR(tdi.data(), nullptr, bitCount, end, 0, 0);
        });
    }
    if (result != CSE_SUCCESS) return failureOf();
    if (instructionPath) {
        noteInstructions(true);
    } else {
        noteDrShift();
    }
    const std::vector<Trit> expected = modelShift(instructionPath, tdi, bitCount, tapOf(end));
    if (variant == 2) return Outcome::Success;
    return compare(expected, 0, tdo.data(), bitCount, currentStep_);
}

SoakRunner::Outcome SoakRunner::deviceAccess() {
    const auto device = static_cast<uint32_t>(draw(0, chain_.modelled.size() - 1));
    const ModelDevice& model = chain_.modelled[device];
    const uint32_t count = static_cast<uint32_t>(chain_.modelled.size());

    // The instruction: IDCODE, a user register, BYPASS or anything at all.
    const uint64_t mask = (uint64_t{1} << model.irLength) - 1;
    uint64_t opcode = draw(0, mask);
    const uint64_t pick = draw(0, 3);
    if (pick == 0 && model.hasIdcode) opcode = model.idcodeOpcode;
    if (pick == 1 && !model.userRegisters.empty()) {
        opcode = model.userRegisters[draw(0, model.userRegisters.size() - 1)].first;
    }
    if (pick == 2) opcode = mask;
    std::vector<uint8_t> instruction(2, 0);
    instruction[0] = static_cast<uint8_t>(opcode);
    instruction[1] = static_cast<uint8_t>(opcode >> 8);
    const State irEnd = draw(0, 3) == 0 ? drawEndState() : CSEJTAG_RUN_TEST_IDLE;
    const uint64_t irVariant = draw(0, 3);  // shift (twice as likely), write, read
    currentStep_ = "device " + std::to_string(device) + " IR " + std::to_string(opcode) + " to " +
                   tapName(tapOf(irEnd));

    uint32_t trailingIr = 0;
    uint32_t totalIr = 0;
    for (uint32_t i = 0; i < count; ++i) {
        totalIr += chain_.modelled[i].irLength;
        if (i > device) trailingIr += chain_.modelled[i].irLength;
    }
    const bool readValue = draw(0, 1) == 1;
    std::vector<uint8_t> irTdo(2, 0x5A);
    int32_t result = CSE_FAILURE;
    std::vector<uint8_t> irStream = filledStream(totalIr, true);
    if (irVariant == 3) {
        result = call([&] {
            return plugin_->readDeviceIR(device, readValue, irTdo.data(), nullptr, model.irLength,
                                         irEnd, 0, 0);
        });
        copyInto(irStream, trailingIr, filledStream(model.irLength, readValue), model.irLength);
    } else if (irVariant == 2) {
        result = call([&] {
            return plugin_->writeDeviceIR(device, instruction.data(), nullptr, model.irLength,
                                          irEnd, 0, 0);
        });
        copyInto(irStream, trailingIr, instruction, model.irLength);
    } else {
        result = call([&] {
            return plugin_->shiftDeviceIR(device, instruction.data(), irTdo.data(), nullptr,
                                          nullptr, model.irLength, irEnd, 0, 0);
        });
        copyInto(irStream, trailingIr, instruction, model.irLength);
    }
    if (result != CSE_SUCCESS) return Outcome::Failure;
    noteInstructions(true);
    const std::vector<Trit> irExpected = modelShift(true, irStream, totalIr, tapOf(irEnd));
    if (irVariant != 2) {
        const Outcome irOutcome =
            compare(irExpected, trailingIr, irTdo.data(), model.irLength, currentStep_);
        if (irOutcome != Outcome::Success) return irOutcome;
    }
    if (stateAgrees(currentStep_) != Outcome::Success) return Outcome::Wrong;

    // The data register the device now has selected, or any other length.
    size_t selectedWidth = model_->drPathLength() - (count - 1);
    const State drEnd = drawEndState();
    const uint32_t limit =
        drEnd == CSEJTAG_SHIFT_DR ? kMaxRawShiftBits - (count - 1) : kMaxRawShiftBits * 4;
    const uint32_t bitCount =
        std::min(limit, draw(0, 4) == 0 ? drawLength(static_cast<uint32_t>(selectedWidth), limit)
                                        : static_cast<uint32_t>(selectedWidth));
    const uint64_t drVariant = draw(0, 3);  // shift (twice as likely), write, read
    currentStep_ = "device " + std::to_string(device) + " DR " + std::to_string(bitCount) +
                   " bits to " + tapName(tapOf(drEnd)) + " variant " + std::to_string(drVariant);
    std::vector<uint8_t> tdi = drawBits(bitCount);
    std::vector<uint8_t> tdo(tdi.size(), 0xC3);
    const uint32_t trailingDr = count - 1 - device;
    std::vector<uint8_t> drStream;
    uint32_t drStreamBits = bitCount + count - 1;
    if (drVariant == 3) {
        result = call([&] {
            return plugin_->readDeviceDR(device, readValue, tdo.data(), nullptr, bitCount, drEnd, 0,
                                         0);
        });
        drStream = filledStream(drStreamBits, readValue);
    } else if (drVariant == 2) {
        result = call([&] {
            return plugin_->writeDeviceDR(device, tdi.data(), nullptr, bitCount, drEnd, 0, 0);
        });
        // A write pads only towards TDI: the bits reach the device without passing the others.
        drStreamBits = bitCount + device;
        drStream = filledStream(drStreamBits, false);
        copyInto(drStream, 0, tdi, bitCount);
    } else {
        result = call([&] {
            return plugin_->shiftDeviceDR(device, tdi.data(), tdo.data(), nullptr, nullptr,
                                          bitCount, drEnd, 0, 0);
        });
        drStream = filledStream(drStreamBits, false);
        copyInto(drStream, trailingDr, tdi, bitCount);
    }
    if (result != CSE_SUCCESS) return failureOf();
    noteDrShift();
    const std::vector<Trit> drExpected = modelShift(false, drStream, drStreamBits, tapOf(drEnd));
    if (drVariant == 2) return Outcome::Success;
    return compare(drExpected, trailingDr, tdo.data(), bitCount, currentStep_);
}

SoakRunner::Outcome SoakRunner::scan() {
    if (call([&] { return plugin_->scanJTAGChain(); }) != CSE_SUCCESS) return Outcome::Failure;
    noteInstructions(true);  // its own reset
    // Reset, the ID codes read out of Shift-DR, reset again and on to Run-Test/Idle.
    modelReset();
    model_->walkTo(Tap::Idle);
    const uint32_t count = plugin_->getDeviceCount();
    bool same = count == chain_.modelled.size();
    for (uint32_t i = 0; same && i < count; ++i) {
        const ModelDevice& device = chain_.modelled[i];
        same = plugin_->getDeviceID(i) == (device.hasIdcode ? device.idcode : 0u);
    }
    if (same) return Outcome::Success;
    ++report_.wrongResults;
    out_ << "WRONG chain after a scan: " << count << " devices [seed " << options_.seed << "]\n";
    return Outcome::Wrong;
}

SoakRunner::Outcome SoakRunner::relock() {
    currentStep_ = "unlock and lock";
    // Unlocking moves nothing; the lock resets the TAP and goes on to Run-Test/Idle.
    if (call([&] { return plugin_->unlockTarget(); }) != CSE_SUCCESS) return Outcome::Failure;
    if (call([&] { return plugin_->lockTarget(0); }) != CSE_SUCCESS) return Outcome::Failure;
    noteInstructions(true);  // the lock resets the TAP
    modelReset();
    model_->walkTo(Tap::Idle);
    return Outcome::Success;
}

SoakRunner::Outcome SoakRunner::refusedArguments() {
    const auto count = static_cast<uint32_t>(chain_.modelled.size());
    uint8_t buffer[8] = {};
    const uint64_t kind = draw(0, 4);
    int32_t result = CSE_SUCCESS;
    std::vector<uint8_t> longBuffer;
    switch (kind) {
        case 0:
            currentStep_ = "device out of range";
            result = plugin_->shiftDeviceDR(count, buffer, buffer, nullptr, nullptr, 8,
                                            CSEJTAG_RUN_TEST_IDLE, 0, 0);
            break;
        case 1:
            currentStep_ = "navigation to state 16";
            result = plugin_->navigateTAP(static_cast<State>(16), 0);
            break;
        case 2:
            currentStep_ = "shift ending in state 99";
            result = plugin_->shiftChainDR(buffer, buffer, nullptr, nullptr, 8,
                                           static_cast<State>(99), 0, 0);
            break;
        case 3: {
            // Refused by the link before it is sent, but after the walk to Shift-IR went out.
            currentStep_ = "IR shift longer than one raw shift";
            longBuffer.assign(kMaxRawShiftBits / 8 + 1, 0xFF);
            const State recorded = plugin_->getTAPState();
            const uint64_t recoveriesBefore = gTapRecoveries;
            result = plugin_->shiftChainIR(longBuffer.data(), longBuffer.data(), nullptr, nullptr,
                                           kMaxRawShiftBits + 1, CSEJTAG_RUN_TEST_IDLE, 0, 0);
            followRecovery(recoveriesBefore, recorded);
            if (result == CSE_SUCCESS) break;
            ++report_.refusals;
            // Refused by the link: the walk went out and the session goes on from Shift-IR.
            if (options_.lossy && KRV_LastResult() == -3) {
                // From Shift-IR itself the plug-in sends no walk (a walk there would clock once).
                if (model_->state() != Tap::ShiftIr) model_->walkTo(Tap::ShiftIr);
                return Outcome::Success;
            }
            return Outcome::Failure;  // the TAP has moved: a new session
        }
        default:
            currentStep_ = "device IR longer than the device's IR";
            result = plugin_->shiftDeviceIR(0, buffer, buffer, nullptr, nullptr,
                                            chain_.modelled[0].irLength + 1, CSEJTAG_RUN_TEST_IDLE,
                                            0, 0);
            break;
    }
    if (result != CSE_SUCCESS) {
        ++report_.refusals;
        return Outcome::Success;
    }
    ++report_.wrongResults;
    out_ << "WRONG: " << currentStep_ << " was accepted [seed " << options_.seed << "]\n";
    return Outcome::Wrong;
}

// ---- Draws ------------------------------------------------------------------------------------

uint64_t SoakRunner::draw(uint64_t low, uint64_t high) {
    return std::uniform_int_distribution<uint64_t>(low, high)(random_);
}

uint32_t SoakRunner::drawLength(uint32_t typical, uint32_t limit) {
    const uint64_t kind = draw(0, 99);
    uint64_t length = 0;
    if (kind < 3) {
        length = 0;
    } else if (kind < 65) {
        length = draw(1, typical + 64);
    } else if (kind < 93) {
        length = draw(1, 5000);
    } else {
        length = draw(1, options_.longestShiftBits);
    }
    return static_cast<uint32_t>(std::min<uint64_t>(length, limit));
}

SoakRunner::State SoakRunner::drawEndState() {
    return static_cast<State>(draw(0, 15));
}

std::vector<uint8_t> SoakRunner::drawBits(uint32_t bitCount) {
    std::vector<uint8_t> bits((bitCount + 7) / 8 + 1, 0);
    for (uint8_t& byte : bits) byte = static_cast<uint8_t>(random_());
    // The bits above bitCount stay zero: whole-byte copies may carry them into pad bits.
    for (uint32_t k = bitCount; k < bits.size() * 8; ++k) {
        bits[k / 8] &= static_cast<uint8_t>(~(1u << (k % 8)));
    }
    return bits;
}

}  // namespace soak
