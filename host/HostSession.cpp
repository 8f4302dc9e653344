#include "host/HostSession.h"

#include "session/HexBits.h"
#include "host/HostOutput.h"
#include "session/IrLengthDerivation.h"
#include "koraven-cse-plugin/CsePlugin.h"

namespace csehost {

using csesession::IrSplit;
using csesession::buildIrMeasureStream;
using csesession::deriveIrLengths;
using csesession::firstMisfittingDevice;
using csesession::formatHexBits;
using csesession::kIrFlushBits;
using csesession::measureTotalIrLength;

using CsePluginInterface::cseFailed;
using CsePluginInterface::CseJtagTapState;
using CsePluginInterface::CseResult;

namespace {

std::string lengthList(const std::vector<uint32_t>& lengths) {
    std::string text;
    for (size_t i = 0; i < lengths.size(); ++i) text += (i ? "," : "") + std::to_string(lengths[i]);
    return text;
}

}  // namespace

HostSession::HostSession(const PluginExports& exports, int verbosity, ResultWriter& writer)
    : exports_(exports), verbosity_(verbosity), writer_(writer) {}

HostSession::~HostSession() {
    (void)finish();
}

Outcome HostSession::failed(const std::string& what) {
    std::fprintf(stderr, "cse-host: %s%s\n", origin_.c_str(), what.c_str());
    std::string reason = origin_ + what;
    // With -v the library's lines have been shown as they came.
    const std::vector<std::string> errors = takeLibraryErrors();
    for (const std::string& line : errors) {
        if (verbosity_ == 0) std::fprintf(stderr, "cse-host:   %s\n", line.c_str());
        reason += "; " + line;
    }
    writer_.error(reason);
    return Outcome::kFailed;
}

Outcome HostSession::usage(const std::string& what) {
    std::fprintf(stderr, "cse-host: %s%s\n", origin_.c_str(), what.c_str());
    writer_.error(origin_ + what);
    return Outcome::kUsage;
}

void HostSession::clearLibraryErrors() {
    (void)takeLibraryErrors();
}

Outcome HostSession::begin(const std::string& node, const std::string& port,
                           const HostOptions& options) {
    options_ = &options;
    clearLibraryErrors();
    plugin_ = exports_.create();
    if (plugin_ == nullptr) return failed("the plug-in could not create its object");

    const std::string nodeArgument = "node=" + node;
    const std::string portArgument = "port=" + port;
    const char* const argv[] = {nodeArgument.c_str(), portArgument.c_str(), "type=jtag"};
    if (cseFailed(plugin_->openTarget(3, argv, 0, 0))) {
        return failed("cannot open the target through the front end at " + node + ":" + port);
    }
    opened_ = true;
    if (cseFailed(plugin_->lockTarget(0))) return failed("cannot lock the target");
    locked_ = true;
    const bool diagnosing = options.command.kind == CommandKind::kDiagnose;
    if (cseFailed(plugin_->scanJTAGChain())) {
        if (!diagnosing) return failed("the chain scan failed");
        for (const std::string& line : takeLibraryErrors())
            scanProblem_ += (scanProblem_.empty() ? "" : "; ") + line;
        if (scanProblem_.empty()) scanProblem_ = "the plug-in's chain scan failed";
        return Outcome::kSuccess;
    }
    scanned_ = true;
    deviceCount_ = plugin_->getDeviceCount();

    if (options.hasIrLengths) {
        if (options.irLengths.size() != deviceCount_) {
            return usage("--irlen gives " + std::to_string(options.irLengths.size()) +
                         " lengths, but the chain has " + std::to_string(deviceCount_) +
                         " devices");
        }
        // diagnose makes the same check and reports it as one of its verdicts.
        if (!diagnosing) {
            const Outcome checked = checkGivenIrLengths(options.irLengths);
            if (checked != Outcome::kSuccess) return checked;
        }
        return setIrLengths(options.irLengths);
    }
    return deriveAndSetIrLengths();
}

bool HostSession::resetTap() {
    instructionsLoaded_ = false;
    return !cseFailed(plugin_->initializeTAP()) &&
           !cseFailed(plugin_->navigateTAP(CsePluginInterface::CSEJTAG_RUN_TEST_IDLE, 0));
}

Outcome HostSession::setIrLengths(const std::vector<uint32_t>& lengths) {
    for (uint32_t device = 0; device < lengths.size(); ++device) {
        if (cseFailed(plugin_->setIRLength(device, lengths[device]))) {
            return failed("cannot set the IR length of device " + std::to_string(device));
        }
    }
    irLengthsKnown_ = true;
    return Outcome::kSuccess;
}

// Given lengths that do not match the chain would make every device-level scan read the wrong
// bits, so they are measured against the IR path first.
Outcome HostSession::checkGivenIrLengths(const std::vector<uint32_t>& lengths) {
    uint32_t totalBits = 0;
    std::vector<uint8_t> capture;
    const bool measured = measureIrPath(totalBits, capture);
    if (!resetTap()) return failed("cannot reset the TAP after measuring the IR path");
    if (!measured) return failed("cannot check --irlen against the chain: " + irLengthProblem_);
    const uint32_t misfit = firstMisfittingDevice(capture.data(), totalBits, lengths);
    if (misfit == UINT32_MAX) return Outcome::kSuccess;
    uint64_t given = 0;
    for (uint32_t length : lengths) given += length;
    std::string reason = "--irlen " + lengthList(lengths) + " does not fit the chain: ";
    if (given != totalBits) {
        reason += "they add up to " + std::to_string(given) + " bits, the IR path measures " +
                  std::to_string(totalBits);
    } else {
        reason += "device " + std::to_string(misfit) +
                  "'s field of the captured IR pattern does not start with 1,0";
    }
    reason += " (captured 0x" + formatHexBits(capture.data(), totalBits) +
              ", the device nearest TDO in the lowest bits";
    const IrSplit split = deriveIrLengths(capture.data(), totalBits, deviceCount_);
    if (split.outcome == IrSplit::Outcome::kUnique) {
        reason += "; it splits as " + lengthList(split.lengths);
    }
    return usage(reason + ")");
}

bool HostSession::measureIrPath(uint32_t& totalBits, std::vector<uint8_t>& capture) {
    const uint32_t streamBits = 2 * kIrFlushBits;
    const std::vector<uint8_t> stream = buildIrMeasureStream(kIrFlushBits);
    std::vector<uint8_t> tdo(stream.size(), 0);
    // Ending in Run-Test/Idle loads all ones (BYPASS); the reset afterwards undoes that.
    if (cseFailed(plugin_->shiftChainIR(stream.data(), tdo.data(), nullptr, nullptr, streamBits,
                                        CsePluginInterface::CSEJTAG_RUN_TEST_IDLE, 0, 0))) {
        irLengthProblem_ = "the IR path could not be shifted";
        return false;
    }
    std::string error;
    if (!measureTotalIrLength(tdo.data(), kIrFlushBits, totalBits, error)) {
        irLengthProblem_ = error;
        return false;
    }
    capture.assign(tdo.begin(), tdo.begin() + (totalBits + 7) / 8);
    return true;
}

Outcome HostSession::deriveAndSetIrLengths() {
    if (deviceCount_ == 0) return Outcome::kSuccess;
    uint32_t totalBits = 0;
    std::vector<uint8_t> capture;
    const bool measured = measureIrPath(totalBits, capture);
    // Work starts from a freshly reset TAP, as the lock left it.
    if (!resetTap()) return failed("cannot reset the TAP after measuring the IR path");
    if (!measured) return Outcome::kSuccess;

    const IrSplit split = deriveIrLengths(capture.data(), totalBits, deviceCount_);
    const std::string devices = std::to_string(deviceCount_) + " devices";
    switch (split.outcome) {
        case IrSplit::Outcome::kUnique:
            return setIrLengths(split.lengths);
        case IrSplit::Outcome::kAmbiguous:
            irLengthProblem_ = "the " + std::to_string(totalBits) +
                               "-bit IR path can be split into " + devices +
                               " in more than one way";
            break;
        case IrSplit::Outcome::kNone:
            irLengthProblem_ = "the captured pattern of the " + std::to_string(totalBits) +
                               "-bit IR path fits no split into " + devices;
            break;
    }
    return Outcome::kSuccess;
}

Outcome HostSession::finish() {
    if (plugin_ == nullptr) return Outcome::kSuccess;
    Outcome outcome = Outcome::kSuccess;
    origin_.clear();
    clearLibraryErrors();
    if (locked_) (void)plugin_->unlockTarget();
    locked_ = false;
    // Closing ends the TAP access on the debugger (the release), then disconnects.
    if (opened_ && cseFailed(plugin_->closeTarget())) {
        outcome = failed(
            "closing the target failed: releasing the TAP on the debugger failed (the results "
            "above stand)");
    }
    opened_ = false;
    exports_.destroy(plugin_);
    plugin_ = nullptr;
    return outcome;
}

Outcome HostSession::execute(const HostCommand& command) {
    clearLibraryErrors();
    origin_ = command.origin.empty() ? "" : command.origin + ": ";
    switch (command.kind) {
        case CommandKind::kScan:
            return scan(command);
        case CommandKind::kIdcode:
            return readIdcode(command);
        case CommandKind::kIrScan:
        case CommandKind::kDrScan:
            return deviceScan(command);
        case CommandKind::kIrScanChain:
        case CommandKind::kDrScanChain:
            return chainScan(command);
        case CommandKind::kState:
            return moveTap(command);
        case CommandKind::kDiagnose:
            return diagnose(*options_);
        case CommandKind::kSvf:
            return playSvfCommand(command);
        case CommandKind::kRun:
            break;  // main expands a script into its commands
    }
    return usage("'" + command.text + "' cannot run here");
}

}  // namespace csehost
