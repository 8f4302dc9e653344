// SPDX-License-Identifier: Apache-2.0
// One use of the cable through the plug-in, for every front end (cse-host, the remote_bitbang
// bridge, the Python module): find and load the plug-in, open the target (the front end or the
// embedded emulator), lock, scan the chain, set the IR lengths; then scans and navigations; then
// unlock, close, unload. Failures are thrown as SessionError with a one-line reason.
//
//   csesession::SessionOptions options;          // embedded emulator, demo chain
//   csesession::CableSession session(options);   // opened, locked, scanned
//   for (const auto& device : session.devices()) ...
//   uint32_t id = session.readIdcode(0);
//   std::vector<uint8_t> out = session.deviceScan(csesession::Register::kDr, 1, in, 32);
//   session.navigate(CsePluginInterface::CSEJTAG_RUN_TEST_IDLE, 100);
//   session.close();                              // or let the destructor finish quietly
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "koraven-cse-plugin/CseTypes.h"

namespace CsePluginInterface {
class ICsePlugin;
}

namespace csesession {

// What kind of failure: the caller's input, the link to the front end, or anything else the
// plug-in or the chain refused. Front ends map these to exit codes or exception classes.
enum class ErrorKind { kUsage, kLink, kFailed };

class SessionError : public std::runtime_error {
  public:
    SessionError(ErrorKind kind, const std::string& reason)
        : std::runtime_error(reason), kind_(kind), headline_(reason) {}
    // what() is the headline followed by the plug-in's error lines, "; " between them.
    SessionError(ErrorKind kind, const std::string& headline,
                 std::vector<std::string> pluginErrors);
    [[nodiscard]] ErrorKind kind() const { return kind_; }
    // What the session was doing, without the plug-in's lines.
    [[nodiscard]] const std::string& headline() const { return headline_; }
    // The plug-in's level-1 error lines that came with the failure.
    [[nodiscard]] const std::vector<std::string>& pluginErrors() const { return pluginErrors_; }

  private:
    ErrorKind kind_;
    std::string headline_;
    std::vector<std::string> pluginErrors_;
};

// A plug-in message level: 1 errors .. 4 the most detailed trace.
using LogSink = std::function<void(int level, const std::string& line)>;

struct SessionOptions {
    std::string libraryPath;   // empty: CSE_HOST_PLUGIN, beside the program, the installed folder
    bool useFrontEnd = false;  // false: an embedded quorbit-sim on 127.0.0.1 (not on Windows)
    std::string node = "localhost";
    uint16_t port = 20000;
    std::optional<uint32_t> timeoutSeconds;  // timeout= (1..3600); absent: the plug-in's default
    std::optional<uint32_t> packetLength;    // packlen= (16..1472)
    std::optional<uint16_t> hostPort;        // hostport= (local UDP port)
    // shifts= ("split" or "merged"); empty: the plug-in's default (split). Merged, a chain shift
    // or a navigation with extra clocks costs the link one request instead of two or three.
    std::string shifts;
    std::string simChain;                    // embedded emulator: chain file or installed name
    // Where an installed chain name is looked for, in order; empty: the installed chain folder
    // relative to the program.
    std::vector<std::string> chainFolders;
    std::string simBoardFaults;              // embedded emulator: quorbit-sim's board faults
    std::string simPcapPath;                 // embedded emulator: capture file
    std::optional<uint16_t> simPort;         // embedded emulator: fixed UDP port
    std::vector<uint32_t> irLengths;         // empty: derived; device 0 is nearest TDI
    // Open even when the chain scan or the IR lengths fail (diagnose reports them itself).
    bool tolerateChainFaults = false;
    int verbosity = 0;  // plug-in lines up to this level go to log (level 1 always kept for errors)
    bool dump = false;  // the plug-in's buffer dumps go to log as level 5
    LogSink log;        // null: nothing is shown; errors still become part of SessionError
    // How messages name the given IR lengths (cse-host: "--irlen").
    std::string irLengthsName = "irLengths";
    // Chain scans and clock runs longer than kProgressBits go in pieces (staying in Shift-IR/DR or
    // the stable goal state), each reported as (done, total); false stops the run between pieces
    // (SessionError, kFailed). Null: one call, no report.
    std::function<bool(uint64_t done, uint64_t total)> progress;
    // Called once the embedded emulator listens, before the plug-in opens the link to it.
    std::function<void(const std::string& node, uint16_t port)> emulatorStarted;
};

// The most bits one raw shift of the debugger carries; an IR scan is never split.
constexpr uint32_t kMaxIrScanBits = 122816;
// Runs longer than this report progress (SessionOptions::progress).
constexpr uint32_t kProgressBits = 4u << 20;

enum class Register { kIr, kDr };

struct Device {
    uint32_t index = 0;                // 0 = nearest TDI
    std::optional<uint32_t> idcode;    // none: the device answered with a BYPASS bit
    std::optional<uint32_t> irLength;  // none: not known (see irLengthProblem)
    uint32_t openocdPosition = 0;      // OpenOCD counts from TDO
};

class CableSession {
  public:
    explicit CableSession(const SessionOptions& options);  // throws SessionError
    ~CableSession();  // finishes quietly if close() was not called
    CableSession(const CableSession&) = delete;
    CableSession& operator=(const CableSession&) = delete;

    [[nodiscard]] const std::vector<Device>& devices() const;
    [[nodiscard]] const std::string& scanProblem() const;      // empty when the scan succeeded
    [[nodiscard]] const std::string& irLengthProblem() const;  // empty when all lengths are known
    [[nodiscard]] std::string frontEnd() const;                // "HOST:PORT" of the link's peer
    [[nodiscard]] bool embedded() const;
    // Whether chain shifts go as one request each (shifts=merged).
    [[nodiscard]] bool mergedShifts() const;
    // The devices the DR path shows in BYPASS (one bit each), when it could be measured.
    [[nodiscard]] std::optional<uint32_t> bypassDeviceCount() const;
    // True when the plug-in's own chain scan succeeded (the device list may still be doubtful:
    // see scanProblem).
    [[nodiscard]] bool chainScanned() const;
    // True when the captured IR pattern fits no split into the devices: the chain does not
    // capture ...01 in every IR, so no IR length can be trusted.
    [[nodiscard]] bool irPathFaulty() const;
    // The IR path's length as measured right after the lock; 0 when it could not be measured.
    [[nodiscard]] uint32_t irPathBits() const;
    // True once an IR scan has put an instruction in every device since the last TAP reset.
    [[nodiscard]] bool instructionsLoaded() const;
    // True after a failed call or a raw shift, until an IR scan or a reset: the plug-in may have
    // reset the TAP to recover, or the streams loaded any instruction, so no one knows which
    // register a DR scan would reach; device-level DR scans are refused until then.
    [[nodiscard]] bool instructionsUnknown() const;
    // A caller that reset the TAP through plugin() says so: the IRs hold their reset values again.
    void noteTapReset();
    // A caller whose IR shifts through plugin() put an instruction in every device says so.
    void noteInstructionsLoaded();
    // A caller whose call through plugin() failed says so (as the session's own failures do).
    void noteFailedCall();
    // Calls of the plug-in that failed so far (not the caller's mistakes, not refusals).
    [[nodiscard]] uint64_t failedCalls() const;

    [[nodiscard]] uint32_t readIdcode(uint32_t device);
    // One device, the others in BYPASS; bits LSB first in bytes. IR scans take the IR length.
    [[nodiscard]] std::vector<uint8_t> deviceScan(Register reg, uint32_t device,
                                                  const std::vector<uint8_t>& tdi,
                                                  uint32_t bitCount);
    // The whole chain; tdo may be null. Ends in endState (a stable state or Exit1/Update).
    void chainScan(
        Register reg, const uint8_t* tdi, uint8_t* tdo, uint32_t bitCount,
        CsePluginInterface::CseJtagTapState endState = CsePluginInterface::CSEJTAG_RUN_TEST_IDLE);
    // Walk to goal, then clock `clocks` more TCKs with TMS 0; returns the state the TAP is in.
    CsePluginInterface::CseJtagTapState navigate(CsePluginInterface::CseJtagTapState goal,
                                                 uint32_t clocks = 0,
                                                 std::optional<uint32_t> waitMicroseconds = {});
    void resetTap();  // TMS reset, then Run-Test/Idle
    // The caller's own TMS and TDI streams of bitCount clocks through the plug-in's raw-shift
    // command, TDO captured into tdo (may be null); the plug-in's recorded state follows the TMS.
    // Afterwards no one knows which instructions the streams loaded: device-level DR scans are
    // refused until an IR scan or a reset.
    void rawShift(const uint8_t* tms, const uint8_t* tdi, uint8_t* tdo, uint32_t bitCount);
    [[nodiscard]] CsePluginInterface::CseJtagTapState tapState();

    // For the SVF player and the diagnosis, which work on the plug-in's interface directly.
    [[nodiscard]] CsePluginInterface::ICsePlugin& plugin();

    // The plug-in's error lines since the last call (for steps made through plugin()).
    [[nodiscard]] std::vector<std::string> takePluginErrors();

    void close();  // unlock, close, unload; throws when closing failed

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Names a user types: "PAUSE_DR", "Pause-DR", "DRPAUSE", "IDLE", "RESET", "RUN/IDLE", any case.
[[nodiscard]] std::optional<CsePluginInterface::CseJtagTapState> parseTapState(
    const std::string& name);
// The one name printed everywhere (text and JSON).
[[nodiscard]] std::string tapStateName(CsePluginInterface::CseJtagTapState state);

}  // namespace csesession
