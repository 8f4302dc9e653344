// SPDX-License-Identifier: Apache-2.0
// One session with the plug-in in the host's call order: create, openTarget, lockTarget,
// scanJTAGChain, setIRLength for every device, the operations, unlockTarget, closeTarget, destroy.
// The plug-in object is driven only through its virtual interface.
#include "session/CableSession.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>

#include "koraven-cse-plugin/CsePlugin.h"
#include "session/ChainSearch.h"
#include "session/EmbeddedEmulator.h"
#include "session/HexBits.h"
#include "session/IrLengthDerivation.h"
#include "session/NodeResolution.h"
#include "session/PluginExports.h"
#include "session/PluginMessages.h"
#include "session/PluginSearch.h"
#include "session/TdoProbe.h"

namespace csesession {

using CsePluginInterface::cseFailed;
using CsePluginInterface::CSEJTAG_RUN_TEST_IDLE;
using CsePluginInterface::CseJtagTapState;

namespace {

constexpr uint32_t kIdcodeBits = 32;
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

std::string joined(const std::string& headline, const std::vector<std::string>& lines) {
    std::string text = headline;
    for (const std::string& line : lines) text += "; " + line;
    return text;
}

std::string plural(uint32_t count, const char* noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

}  // namespace

SessionError::SessionError(ErrorKind kind, const std::string& headline,
                           std::vector<std::string> pluginErrors)
    : std::runtime_error(joined(headline, pluginErrors)),
      kind_(kind),
      headline_(headline),
      pluginErrors_(std::move(pluginErrors)) {}

// What the instruction registers hold, as far as the session knows: their reset values (IDCODE or
// BYPASS), instructions the caller shifted, or nothing known after a failed call or raw shifts.
enum class Instructions { kReset, kLoaded, kUnknown };
constexpr char kAfterAFailedCall[] =
    "after a failed call is refused: the plug-in may have reset the TAP to recover, so every IR "
    "may hold its reset value instead of the instruction loaded before";
constexpr char kAfterRawShifts[] =
    "after raw shifts is refused: their TMS and TDI streams may have loaded any instruction";

struct CableSession::State {
    explicit State(const SessionOptions& given)
        : options(given), messages(given.verbosity, given.dump, given.log) {}

    [[noreturn]] void fail(ErrorKind kind, const std::string& headline) {
        throw SessionError(kind, headline, messages.takeErrors());
    }
    // A call of the plug-in failed: it may have reset the TAP to recover (then every IR holds its
    // reset value), so the instructions loaded before count for nothing any more.
    [[noreturn]] void failCall(const std::string& headline) {
        ++failedCalls;
        forgetInstructions(kAfterAFailedCall);
        fail(ErrorKind::kFailed, headline);
    }
    void forgetInstructions(const char* why) {
        instructions = Instructions::kUnknown;
        instructionsWhy = why;
    }
    void open();
    void loadPlugin();
    void startEmulator();
    void connect();
    void scanChain();
    void measureChain();
    void checkDeviceCounts();
    void setIrLengths(const std::vector<uint32_t>& lengths);
    void checkGivenIrLengths();
    void deriveLengths();
    void resetTap();
    void checkDevice(uint32_t device);
    void shut(bool quietly);
    // Before every operation: a closed session has no plug-in to drive.
    State& live() {
        if (plugin == nullptr) throw SessionError(ErrorKind::kUsage, "the session is closed");
        (void)messages.takeErrors();
        return *this;
    }

    SessionOptions options;
    PluginMessages messages;
    PluginLibrary library;
    PluginExports exports;
    bool notifiedLoad = false;
    bool holdsProcess = false;  // this session is the process's one
    EmbeddedEmulator emulator;
    std::string node;
    uint16_t port = 0;
    CsePluginInterface::ICsePlugin* plugin = nullptr;
    bool opened = false;
    bool locked = false;
    bool scanned = false;
    std::vector<Device> devices;
    std::string scanProblem;
    std::string irLengthProblem;
    bool irLengthsKnown = false;
    bool irPathFaulty = false;
    Instructions instructions = Instructions::kReset;
    const char* instructionsWhy = "";  // when unknown: after what
    uint64_t failedCalls = 0;
    // The IR path as measured right after the lock: its length and captured pattern.
    bool irMeasured = false;
    uint32_t irTotalBits = 0;
    std::vector<uint8_t> irCapture;
    std::optional<uint32_t> bypassCount;
    std::string bypassProblem;  // why the DR path in BYPASS gave no device count
    std::vector<uint8_t> rawShiftInput;  // reused: a raw shift allocates nothing once warm
};

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

const std::vector<Device>& CableSession::devices() const {
    return state_->devices;
}

const std::string& CableSession::scanProblem() const {
    return state_->scanProblem;
}

const std::string& CableSession::irLengthProblem() const {
    return state_->irLengthProblem;
}

std::string CableSession::frontEnd() const {
    return state_->node + ":" + std::to_string(state_->port);
}

bool CableSession::embedded() const {
    return !state_->options.useFrontEnd;
}

bool CableSession::mergedShifts() const {
    return state_->options.shifts == "merged";
}

std::optional<uint32_t> CableSession::bypassDeviceCount() const {
    return state_->bypassCount;
}

bool CableSession::chainScanned() const {
    return state_->scanned;
}

bool CableSession::irPathFaulty() const {
    return state_->irPathFaulty;
}

uint32_t CableSession::irPathBits() const {
    return state_->irMeasured ? state_->irTotalBits : 0;
}

bool CableSession::instructionsLoaded() const {
    return state_->instructions == Instructions::kLoaded;
}

bool CableSession::instructionsUnknown() const {
    return state_->instructions == Instructions::kUnknown;
}

void CableSession::noteTapReset() {
    state_->instructions = Instructions::kReset;
}

void CableSession::noteInstructionsLoaded() {
    state_->instructions = Instructions::kLoaded;
}

void CableSession::noteFailedCall() {
    ++state_->failedCalls;
    state_->forgetInstructions(kAfterAFailedCall);
}

uint64_t CableSession::failedCalls() const {
    return state_->failedCalls;
}

uint32_t CableSession::readIdcode(uint32_t device) {
    State& s = state_->live();
    s.checkDevice(device);
    if (!s.devices[device].idcode) {
        s.fail(ErrorKind::kFailed,
               "device " + std::to_string(device) +
                   " has no IDCODE register (it answered the scan with a BYPASS bit)");
    }
    // After a reset every device presents its IDCODE (32 bits) or its BYPASS bit; the devices
    // nearer TDO come out first.
    uint32_t offset = 0;
    uint32_t totalBits = 0;
    for (uint32_t other = static_cast<uint32_t>(s.devices.size()); other-- > 0;) {
        const uint32_t width = s.devices[other].idcode ? kIdcodeBits : 1;
        if (other > device) offset += width;
        totalBits += width;
    }
    s.resetTap();
    std::vector<uint8_t> buffer((totalBits + 7) / 8, 0);
    if (cseFailed(s.plugin->shiftChainDR(buffer.data(), buffer.data(), nullptr, nullptr, totalBits,
                                         CSEJTAG_RUN_TEST_IDLE, 0, 0))) {
        s.failCall("the DR shift that reads the IDCODEs failed");
    }
    uint32_t idcode = 0;
    for (uint32_t bit = 0; bit < kIdcodeBits; ++bit) {
        if (bitAt(buffer.data(), offset + bit)) idcode |= 1u << bit;
    }
    return idcode;
}

std::vector<uint8_t> CableSession::deviceScan(Register reg, uint32_t device,
                                              const std::vector<uint8_t>& tdi, uint32_t bitCount) {
    State& s = state_->live();
    s.checkDevice(device);
    if (!s.irLengthsKnown) {
        s.fail(ErrorKind::kUsage,
               "a device-level scan needs the IR length of every device, and " + s.irLengthProblem);
    }
    if (bitCount == 0 || tdi.size() < (static_cast<uint64_t>(bitCount) + 7) / 8) {
        s.fail(ErrorKind::kUsage, "a scan of " + plural(bitCount, "bit") + " needs " +
                                      std::to_string((static_cast<uint64_t>(bitCount) + 7) / 8) +
                                      " bytes of TDI, and at least one bit");
    }
    const bool ir = reg == Register::kIr;
    if (ir) {
        // Fewer bits would leave the rest of the IR to ones (often BYPASS) without a word.
        const uint32_t irLength = *s.devices[device].irLength;
        if (bitCount != irLength) {
            s.fail(ErrorKind::kUsage, "device " + std::to_string(device) + " has an IR of " +
                                          std::to_string(irLength) +
                                          " bits; irscan takes exactly that many, not " +
                                          std::to_string(bitCount));
        }
        uint64_t totalIr = 0;
        for (const Device& each : s.devices) totalIr += *each.irLength;
        if (totalIr > kMaxIrScanBits) {
            s.fail(ErrorKind::kUsage, "the IR path has " + std::to_string(totalIr) +
                                          " bits; an IR scan carries at most " +
                                          std::to_string(kMaxIrScanBits) +
                                          " (one raw shift of the debugger)");
        }
    } else if (s.instructions == Instructions::kUnknown) {
        // Data from a register the caller did not select must never come back as a result.
        s.fail(ErrorKind::kFailed, "a DR scan of device " + std::to_string(device) + " " +
                                       s.instructionsWhy +
                                       "; load the instructions again with an IR scan first");
    } else if (s.instructions == Instructions::kReset) {
        // A device-level DR scan pads every other device with one bit, which is right only while
        // they are in BYPASS; after a reset those with an IDCODE present 32 bits instead.
        for (const Device& other : s.devices) {
            if (other.index == device || !other.idcode) continue;
            s.fail(ErrorKind::kUsage,
                   "a DR scan of device " + std::to_string(device) +
                       " comes before any irscan: after the TAP reset device " +
                       std::to_string(other.index) +
                       " holds IDCODE, not BYPASS, so its one pad bit would be wrong; load an "
                       "instruction first with an IR scan (it puts the others in BYPASS)");
        }
    }
    std::vector<uint8_t> tdo(tdi.size(), 0);
    const auto result =
        ir ? s.plugin->shiftDeviceIR(device, tdi.data(), tdo.data(), nullptr, nullptr, bitCount,
                                     CSEJTAG_RUN_TEST_IDLE, 0, 0)
           : s.plugin->shiftDeviceDR(device, tdi.data(), tdo.data(), nullptr, nullptr, bitCount,
                                     CSEJTAG_RUN_TEST_IDLE, 0, 0);
    if (cseFailed(result)) {
        s.failCall(std::string("the ") + (ir ? "IR" : "DR") + " shift of device " +
                   std::to_string(device) + " failed");
    }
    if (ir) s.instructions = Instructions::kLoaded;
    return tdo;
}

void CableSession::chainScan(Register reg, const uint8_t* tdi, uint8_t* tdo, uint32_t bitCount,
                             CseJtagTapState endState) {
    State& s = state_->live();
    const bool ir = reg == Register::kIr;
    if (ir && bitCount > kMaxIrScanBits) {
        s.fail(ErrorKind::kUsage, "an IR scan carries at most " + std::to_string(kMaxIrScanBits) +
                                      " bits (one raw shift of the debugger), not " +
                                      std::to_string(bitCount));
    }
    if (tdi == nullptr || bitCount == 0) s.fail(ErrorKind::kUsage, "a chain scan needs TDI bits");
    const auto shift = [&](uint32_t first, uint32_t count, CseJtagTapState end) {
        const uint8_t* in = tdi + first / 8;
        uint8_t* out = tdo != nullptr ? tdo + first / 8 : nullptr;
        const auto result =
            ir ? s.plugin->shiftChainIR(in, out, nullptr, nullptr, count, end, 0, 0)
               : s.plugin->shiftChainDR(in, out, nullptr, nullptr, count, end, 0, 0);
        if (cseFailed(result)) {
            s.failCall(std::string("the ") + (ir ? "IR" : "DR") + " shift of " +
                       plural(bitCount, "bit") + " through the chain failed" +
                       (first > 0 ? " after " + std::to_string(first) : ""));
        }
    };
    if (!s.options.progress || bitCount <= kProgressBits) {
        shift(0, bitCount, endState);
    } else {
        // Pieces of one raw shift each, staying in Shift-IR/Shift-DR until the last.
        const CseJtagTapState shifting =
            ir ? CsePluginInterface::CSEJTAG_SHIFT_IR : CsePluginInterface::CSEJTAG_SHIFT_DR;
        for (uint32_t done = 0; done < bitCount;) {
            const uint32_t piece = std::min(kMaxIrScanBits, bitCount - done);
            const bool last = done + piece == bitCount;
            shift(done, piece, last ? endState : shifting);
            done += piece;
            if (!s.options.progress(done, bitCount) && !last) {
                s.fail(ErrorKind::kFailed,
                       "stopped after " + std::to_string(done) + " of " + plural(bitCount, "bit"));
            }
        }
    }
    // The caller chose every device's instruction.
    if (ir) s.instructions = Instructions::kLoaded;
}

CseJtagTapState CableSession::navigate(CseJtagTapState goal, uint32_t clocks,
                                       std::optional<uint32_t> waitMicroseconds) {
    State& s = state_->live();
    if (!CsePluginInterface::isValidTapState(goal)) {
        s.fail(ErrorKind::kUsage, "no TAP state has the number " + std::to_string(goal));
    }
    const auto move = [&](uint32_t count, bool wait) {
        const auto result = wait ? s.plugin->navigateTAP(goal, count, *waitMicroseconds)
                                 : s.plugin->navigateTAP(goal, count);
        if (cseFailed(result)) s.failCall("moving the TAP to " + tapStateName(goal) + " failed");
    };
    const bool stable = goal == CsePluginInterface::CSEJTAG_TEST_LOGIC_RESET ||
                        goal == CSEJTAG_RUN_TEST_IDLE ||
                        goal == CsePluginInterface::CSEJTAG_SHIFT_DR ||
                        goal == CsePluginInterface::CSEJTAG_PAUSE_DR ||
                        goal == CsePluginInterface::CSEJTAG_SHIFT_IR ||
                        goal == CsePluginInterface::CSEJTAG_PAUSE_IR;
    if (!s.options.progress || clocks <= kProgressBits || !stable) {
        move(clocks, waitMicroseconds.has_value());
    } else {
        // Clocks in a stable state add up, so the run can go in pieces; the wait comes last.
        constexpr uint32_t kPieceClocks = 1u << 20;
        for (uint32_t done = 0; done < clocks;) {
            const uint32_t piece = std::min(kPieceClocks, clocks - done);
            done += piece;
            move(piece, waitMicroseconds.has_value() && done == clocks);
            if (!s.options.progress(done, clocks) && done < clocks) {
                s.fail(ErrorKind::kFailed,
                       "stopped after " + std::to_string(done) + " of " + plural(clocks, "clock"));
            }
        }
    }
    if (goal == CsePluginInterface::CSEJTAG_TEST_LOGIC_RESET) s.instructions = Instructions::kReset;
    return s.plugin->getTAPState();
}

void CableSession::resetTap() {
    state_->live().resetTap();
}

void CableSession::rawShift(const uint8_t* tms, const uint8_t* tdi, uint8_t* tdo,
                            uint32_t bitCount) {
    State& s = state_->live();
    if (tms == nullptr || tdi == nullptr) s.fail(ErrorKind::kUsage, "a raw shift needs TMS and TDI");
    const size_t streamBytes = (static_cast<size_t>(bitCount) + 7) / 8;
    std::vector<uint8_t>& input = s.rawShiftInput;
    input.resize(4 + 2 * streamBytes);
    for (int k = 0; k < 4; ++k) input[static_cast<size_t>(k)] = static_cast<uint8_t>(bitCount >> (8 * k));
    std::copy(tms, tms + streamBytes, input.begin() + 4);
    std::copy(tdi, tdi + streamBytes, input.begin() + 4 + static_cast<long>(streamBytes));
    // The streams may load any instruction, whatever comes of the call.
    s.forgetInstructions(kAfterRawShifts);
    if (cseFailed(s.plugin->sendCommand("raw-shift", input.data(),
                                        static_cast<uint32_t>(input.size()), tdo,
                                        static_cast<uint32_t>(streamBytes), 0, 0))) {
        s.failCall("the raw shift of " + plural(bitCount, "clock") + " failed");
    }
}

CseJtagTapState CableSession::tapState() {
    return state_->live().plugin->getTAPState();
}

CsePluginInterface::ICsePlugin& CableSession::plugin() {
    if (state_->plugin == nullptr) throw SessionError(ErrorKind::kUsage, "the session is closed");
    return *state_->plugin;
}

std::vector<std::string> CableSession::takePluginErrors() {
    return state_->messages.takeErrors();
}

void CableSession::close() {
    state_->shut(false);
}

}  // namespace csesession
