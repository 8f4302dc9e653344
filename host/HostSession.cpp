#include "host/HostSession.h"

#include "host/HexBits.h"
#include "host/HostOutput.h"
#include "host/IrLengthDerivation.h"
#include "koraven-cse-plugin/CsePlugin.h"

namespace csehost {

using CsePluginInterface::cseFailed;
using CsePluginInterface::CseJtagTapState;
using CsePluginInterface::CseResult;

HostSession::HostSession(const PluginExports& exports, int verbosity, FILE* results)
    : exports_(exports), verbosity_(verbosity), results_(results) {}

HostSession::~HostSession() {
    (void)finish();
}

Outcome HostSession::failed(const std::string& what) {
    std::fprintf(stderr, "cse-host: %s\n", what.c_str());
    // With -v the library's lines have been shown as they came.
    const std::vector<std::string> errors = takeLibraryErrors();
    if (verbosity_ == 0) {
        for (const std::string& line : errors)
            std::fprintf(stderr, "cse-host:   %s\n", line.c_str());
    }
    return Outcome::kFailed;
}

Outcome HostSession::usage(const std::string& what) {
    std::fprintf(stderr, "cse-host: %s\n", what.c_str());
    return Outcome::kUsage;
}

void HostSession::clearLibraryErrors() {
    (void)takeLibraryErrors();
}

Outcome HostSession::begin(const std::string& node, const std::string& port,
                           const HostOptions& options) {
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
    if (cseFailed(plugin_->scanJTAGChain())) return failed("the chain scan failed");
    deviceCount_ = plugin_->getDeviceCount();

    if (options.hasIrLengths) {
        if (options.irLengths.size() != deviceCount_) {
            return usage("--irlen gives " + std::to_string(options.irLengths.size()) +
                         " lengths, but the chain has " + std::to_string(deviceCount_) +
                         " devices");
        }
        return setIrLengths(options.irLengths);
    }
    return deriveAndSetIrLengths();
}

bool HostSession::resetTap() {
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
    clearLibraryErrors();
    if (locked_) (void)plugin_->unlockTarget();
    locked_ = false;
    if (opened_ && cseFailed(plugin_->closeTarget())) {
        outcome = failed("closing the target failed");
    }
    opened_ = false;
    exports_.destroy(plugin_);
    plugin_ = nullptr;
    return outcome;
}

Outcome HostSession::execute(const HostCommand& command) {
    clearLibraryErrors();
    switch (command.kind) {
        case CommandKind::kScan:
            return scan();
        case CommandKind::kIdcode:
            return readIdcode(command.device);
        case CommandKind::kIrScan:
        case CommandKind::kDrScan:
            return deviceScan(command);
        case CommandKind::kIrScanChain:
        case CommandKind::kDrScanChain:
            return chainScan(command);
        case CommandKind::kState:
            return moveTap(command);
        case CommandKind::kRun:
            break;  // main expands a script into its commands
    }
    return usage("'" + command.text + "' cannot run here");
}

}  // namespace csehost
