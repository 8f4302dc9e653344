// SPDX-License-Identifier: Apache-2.0
// Opening a session in the host's call order (load, create, open, lock, scan, IR lengths, checked
// against the measured chain) and closing it again on every path.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>

#include "session/CableSessionState.h"
#include "session/ChainSearch.h"
#include "session/HexBits.h"
#include "session/IrLengthDerivation.h"
#include "session/NodeResolution.h"
#include "session/TdoProbe.h"

namespace csesession {

namespace {

// The plug-in has one link per process: a second open would end the first session's link.
std::atomic<bool> gSessionOpen{false};
// The plug-in's reply time-out when timeout= is not given.
constexpr uint32_t kReplyTimeoutSeconds = 5;
// The DR path in BYPASS is one bit a device; well beyond the devices a scan accepts.
constexpr uint32_t kBypassFlushBits = 1024;

std::string lengthList(const std::vector<uint32_t>& lengths) {
    std::string text;
    for (size_t i = 0; i < lengths.size(); ++i) text += (i ? "," : "") + std::to_string(lengths[i]);
    return text;
}

}  // namespace

void CableSession::State::open() {
    if (gSessionOpen.exchange(true)) {
        fail(ErrorKind::kUsage,
             "another session is open in this process, and the plug-in has one link: close it "
             "first");
    }
    holdsProcess = true;
    if (options.timeoutSeconds && (*options.timeoutSeconds < 1 || *options.timeoutSeconds > 3600))
        fail(ErrorKind::kUsage, "the reply time-out must be 1..3600 seconds");
    if (options.packetLength && (*options.packetLength < 16 || *options.packetLength > 1472))
        fail(ErrorKind::kUsage, "the packet length must be 16..1472 bytes");
    if (!options.shifts.empty() && options.shifts != "split" && options.shifts != "merged")
        fail(ErrorKind::kUsage, "shifts must be split or merged, not " + options.shifts);
    if (options.useFrontEnd) {
        std::string error;
        std::optional<uint16_t> nodePort;
        if (!splitNode(options.node, node, nodePort, error)) fail(ErrorKind::kUsage, error);
        port = nodePort.value_or(options.port);
        if (nodePort && options.port != SessionOptions{}.port && options.port != *nodePort) {
            fail(ErrorKind::kUsage, "node " + options.node + " names port " +
                                        std::to_string(*nodePort) + ", the port given is " +
                                        std::to_string(options.port));
        }
        if (!nodeResolves(node)) fail(ErrorKind::kLink, "cannot resolve host " + node);
    }
    loadPlugin();
    if (!options.useFrontEnd) {
        startEmulator();
    }
    messages.receive();
    exports.loaded();
    notifiedLoad = true;
    exports.setCallbacks(&pluginCallbacks());
    connect();
    scanChain();
}

void CableSession::State::loadPlugin() {
    std::string path;
    std::string error;
    if (!choosePlugin(pluginCandidates(options.libraryPath, std::getenv(kPluginPathVariable),
                                       executableDirectory()),
                      path, error)) {
        fail(ErrorKind::kFailed, error);
    }
    if (!library.open(path, error)) fail(ErrorKind::kFailed, "cannot load the plug-in: " + error);
    if (!findPluginExports(library, exports, error))
        fail(ErrorKind::kFailed, error + " (" + path + ")");
}

void CableSession::State::startEmulator() {
    std::string error;
    emulator.setCapture(options.simPcapPath);
    emulator.setPort(options.simPort.value_or(0));
    std::string chain;
    const std::vector<std::string> folders =
        options.chainFolders.empty()
            ? std::vector<std::string>{installedChainFolder(executableDirectory())}
            : options.chainFolders;
    if (!findChainFile(options.simChain, folders, chain, error)) fail(ErrorKind::kUsage, error);
    switch (emulator.start(chain, options.simBoardFaults, error)) {
        case EmbeddedEmulator::StartResult::kBadChain:
            fail(ErrorKind::kUsage, error);
        case EmbeddedEmulator::StartResult::kUnavailable:
            fail(ErrorKind::kUsage, error);
        case EmbeddedEmulator::StartResult::kFailed:
            fail(ErrorKind::kFailed, "cannot start the embedded quorbit-sim: " + error);
        case EmbeddedEmulator::StartResult::kStarted:
            break;
    }
    node = emulator.node();
    port = emulator.port();
    if (options.emulatorStarted) options.emulatorStarted(node, port);
}

void CableSession::State::connect() {
    (void)messages.takeErrors();
    plugin = exports.create();
    if (plugin == nullptr) fail(ErrorKind::kFailed, "the plug-in could not create its object");
    std::vector<std::string> arguments = {"node=" + node, "port=" + std::to_string(port),
                                          "type=jtag"};
    if (options.timeoutSeconds)
        arguments.push_back("timeout=" + std::to_string(*options.timeoutSeconds));
    if (options.packetLength)
        arguments.push_back("packlen=" + std::to_string(*options.packetLength));
    if (options.hostPort) arguments.push_back("hostport=" + std::to_string(*options.hostPort));
    if (!options.shifts.empty()) arguments.push_back("shifts=" + options.shifts);
    std::vector<const char*> argv;
    std::string listed;
    for (const std::string& argument : arguments) {
        argv.push_back(argument.c_str());
        listed += (listed.empty() ? "" : " ") + argument;
    }
    // The one line of the session's own among the plug-in's traces: what openTarget is given.
    if (options.verbosity >= 4 && options.log) options.log(4, "openTarget " + listed);
    const auto started = std::chrono::steady_clock::now();
    if (cseFailed(plugin->openTarget(static_cast<uint32_t>(argv.size()), argv.data(), 0, 0))) {
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - started;
        std::vector<std::string> errors = messages.takeErrors();
        const std::string frontEnd = node + ":" + std::to_string(port);
        const std::string cause = openFailureCause(
            errors, frontEnd, options.timeoutSeconds.value_or(kReplyTimeoutSeconds),
            elapsed.count());
        throw SessionError(ErrorKind::kLink,
                           cause.empty()
                               ? "cannot open the target through the front end at " + frontEnd
                               : "cannot open the target: " + cause,
                           std::move(errors));
    }
    opened = true;
    if (cseFailed(plugin->lockTarget(0))) fail(ErrorKind::kLink, "cannot lock the target");
    locked = true;
}

void CableSession::State::scanChain() {
    if (cseFailed(plugin->scanJTAGChain())) {
        // A dead TDO line is named as such; the scan's reading of it ("more than 254") misleads.
        const std::string stuck = stuckTdoReason(*plugin);
        if (!stuck.empty()) (void)messages.takeErrors();
        if (!options.tolerateChainFaults)
            fail(ErrorKind::kFailed, stuck.empty() ? "the chain scan failed" : stuck);
        scanProblem = stuck;
        for (const std::string& line : messages.takeErrors())
            scanProblem += (scanProblem.empty() ? "" : "; ") + line;
        if (scanProblem.empty()) scanProblem = "the plug-in's chain scan failed";
        return;
    }
    scanned = true;
    const uint32_t count = plugin->getDeviceCount();
    for (uint32_t index = 0; index < count; ++index) {
        Device device;
        device.index = index;
        const uint32_t idcode = plugin->getDeviceID(index);
        if (idcode != 0) device.idcode = idcode;
        device.openocdPosition = count - 1 - index;
        devices.push_back(device);
    }
    if (!options.irLengths.empty() && options.irLengths.size() != count) {
        fail(ErrorKind::kUsage,
             options.irLengthsName + " gives " +
                 plural(static_cast<uint32_t>(options.irLengths.size()), "length") +
                 ", but the chain has " + plural(count, "device"));
    }
    measureChain();
    checkDeviceCounts();
    if (!options.irLengths.empty()) {
        // diagnose makes the same check and reports it as one of its verdicts.
        if (!options.tolerateChainFaults) checkGivenIrLengths();
        setIrLengths(options.irLengths);
    } else {
        deriveLengths();
    }
}

// Right after the lock's reset: zeros then ones through the IR path give its length and captured
// pattern and leave every device in BYPASS, so the same through the DR path counts the devices.
void CableSession::State::measureChain() {
    const std::vector<uint8_t> stream = buildIrMeasureStream(kIrFlushBits);
    std::vector<uint8_t> tdo(stream.size(), 0);
    if (cseFailed(plugin->shiftChainIR(stream.data(), tdo.data(), nullptr, nullptr,
                                       2 * kIrFlushBits, CSEJTAG_RUN_TEST_IDLE, 0, 0))) {
        if (!options.tolerateChainFaults)
            fail(ErrorKind::kFailed, "cannot measure the IR path: the IR shift failed");
        irLengthProblem = "the IR path could not be shifted";
        return;
    }
    std::string error;
    if (measureTotalIrLength(tdo.data(), kIrFlushBits, irTotalBits, error)) {
        irMeasured = true;
        irCapture.assign(tdo.begin(), tdo.begin() + (irTotalBits + 7) / 8);
    } else {
        irLengthProblem = error;
    }
    const std::vector<uint8_t> drStream = buildIrMeasureStream(kBypassFlushBits);
    std::vector<uint8_t> drTdo(drStream.size(), 0);
    if (cseFailed(plugin->shiftChainDR(drStream.data(), drTdo.data(), nullptr, nullptr,
                                       2 * kBypassFlushBits, CSEJTAG_RUN_TEST_IDLE, 0, 0))) {
        if (!options.tolerateChainFaults)
            fail(ErrorKind::kFailed, "cannot count the devices in BYPASS: the DR shift failed");
    } else {
        uint32_t count = 0;
        if (measureTotalIrLength(drTdo.data(), kBypassFlushBits, count, error)) {
            bypassCount = count;
        } else {
            bypassProblem =
                "the zeros and ones shifted through it did not come back as one delayed step";
        }
    }
    // Work starts from a freshly reset TAP, as the lock left it.
    resetTap();
}

// A device whose IDCODE reads as no valid one (0xFFFFFFFF, or all ones from a broken chain) ends
// the plug-in's IDCODE scan early; the BYPASS count does not depend on IDCODEs.
void CableSession::State::checkDeviceCounts() {
    // An open or stuck chain gives no BYPASS count, and then nothing confirms the IDCODE scan.
    if (!bypassProblem.empty()) {
        scanProblem = "the IDCODE scan found " +
                      plural(static_cast<uint32_t>(devices.size()), "device") +
                      ", but the DR path in BYPASS gives no device count (" + bypassProblem +
                      "): the chain is broken, open or stuck; the device list cannot be trusted "
                      "(run 'diagnose' for the details)";
        return;
    }
    if (!bypassCount || *bypassCount == devices.size()) return;
    const uint32_t found = static_cast<uint32_t>(devices.size());
    // The plug-in takes the list from a description file when CSE_JTAGFILE names one.
    const char* file = std::getenv("CSE_JTAGFILE");
    const std::string source = file != nullptr && *file != '\0'
                                   ? std::string("the chain description ") + file + " lists "
                                   : "the IDCODE scan found ";
    const std::string why =
        found > *bypassCount
            ? "the list names devices the board does not have, or the chain is broken"
            : "a device with an invalid IDCODE (such as 0xFFFFFFFF) ends the IDCODE scan "
              "early, or the chain is broken";
    scanProblem = source + plural(found, "device") + ", but " + plural(*bypassCount, "device") +
                  " answer in BYPASS: " + why +
                  "; the device list cannot be trusted (run 'diagnose' for the details)";
}

void CableSession::State::setIrLengths(const std::vector<uint32_t>& lengths) {
    for (uint32_t device = 0; device < lengths.size(); ++device) {
        if (cseFailed(plugin->setIRLength(device, lengths[device]))) {
            fail(ErrorKind::kFailed,
                 "cannot set the IR length of device " + std::to_string(device));
        }
        devices[device].irLength = lengths[device];
    }
    irLengthsKnown = true;
}

// Given lengths that do not match the chain would make every device-level scan read the wrong
// bits, so they are checked against the measured IR path first.
void CableSession::State::checkGivenIrLengths() {
    const std::vector<uint32_t>& lengths = options.irLengths;
    const std::string name = options.irLengthsName;
    if (!irMeasured)
        fail(ErrorKind::kFailed, "cannot check " + name + " against the chain: " + irLengthProblem);
    const uint32_t misfit = firstMisfittingDevice(irCapture.data(), irTotalBits, lengths);
    if (misfit == UINT32_MAX) return;
    uint64_t given = 0;
    for (uint32_t length : lengths) given += length;
    std::string reason = name + " " + lengthList(lengths) + " does not fit the chain: ";
    if (given != irTotalBits) {
        reason += "they add up to " + std::to_string(given) + " bits, the IR path measures " +
                  std::to_string(irTotalBits);
    } else {
        reason += "device " + std::to_string(misfit) +
                  "'s field of the captured IR pattern does not start with 1,0";
    }
    reason += " (captured 0x" + formatHexBits(irCapture.data(), irTotalBits) +
              ", the device nearest TDO in the lowest bits";
    const IrSplit split =
        deriveIrLengths(irCapture.data(), irTotalBits, static_cast<uint32_t>(devices.size()));
    if (split.outcome == IrSplit::Outcome::kUnique) {
        reason += "; it splits as " + lengthList(split.lengths);
    }
    fail(ErrorKind::kUsage, reason + ")");
}

void CableSession::State::deriveLengths() {
    if (devices.empty() || !irMeasured) return;
    const uint32_t count = static_cast<uint32_t>(devices.size());
    const IrSplit split = deriveIrLengths(irCapture.data(), irTotalBits, count);
    const std::string bits = std::to_string(irTotalBits) + "-bit IR path";
    switch (split.outcome) {
        case IrSplit::Outcome::kUnique:
            setIrLengths(split.lengths);
            return;
        case IrSplit::Outcome::kAmbiguous:
            irLengthProblem = "the " + bits + " can be split into " + plural(count, "device") +
                              " in more than one way";
            return;
        case IrSplit::Outcome::kNone:
            irPathFaulty = true;
            irLengthProblem =
                "the " + bits + " captured 0x" + formatHexBits(irCapture.data(), irTotalBits) +
                " (the device nearest TDO in the lowest bits), which fits no split into " +
                plural(count, "device") +
                " that each capture ...01 as every IR must: the chain cannot be used at device "
                "level until that fault is found (run 'diagnose')";
            return;
    }
}

void CableSession::State::resetTap() {
    instructions = Instructions::kReset;
    if (cseFailed(plugin->initializeTAP()) ||
        cseFailed(plugin->navigateTAP(CSEJTAG_RUN_TEST_IDLE, 0))) {
        failCall("cannot reset the TAP");
    }
}

void CableSession::State::checkDevice(uint32_t device) {
    if (!scanProblem.empty()) fail(ErrorKind::kFailed, scanProblem);
    const uint32_t count = static_cast<uint32_t>(devices.size());
    if (device < count) return;
    fail(ErrorKind::kUsage, "device " + std::to_string(device) +
                                " is out of range: the chain has " + plural(count, "device") +
                                " (0.." + std::to_string(count == 0 ? 0 : count - 1) + ")");
}

void CableSession::State::shut(bool quietly) {
    if (plugin != nullptr) {
        (void)messages.takeErrors();
        if (locked) (void)plugin->unlockTarget();
        locked = false;
        // Closing ends the TAP access on the debugger (the release), then disconnects.
        const bool closed = !opened || !cseFailed(plugin->closeTarget());
        opened = false;
        std::vector<std::string> errors = messages.takeErrors();
        exports.destroy(plugin);
        plugin = nullptr;
        if (!closed && !quietly) {
            if (notifiedLoad) exports.unloaded();
            notifiedLoad = false;
            if (holdsProcess) gSessionOpen = false;
            holdsProcess = false;
            throw SessionError(
                ErrorKind::kFailed,
                "closing the target failed: releasing the TAP on the debugger failed",
                std::move(errors));
        }
    }
    if (notifiedLoad) exports.unloaded();
    notifiedLoad = false;
    if (holdsProcess) gSessionOpen = false;
    holdsProcess = false;
}

CableSession::CableSession(const SessionOptions& options)
    : state_(std::make_unique<State>(options)) {
    try {
        state_->open();
    } catch (...) {
        state_->shut(true);
        throw;
    }
}

CableSession::~CableSession() {
    if (state_) state_->shut(true);
}

}  // namespace csesession
