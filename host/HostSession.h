// One use of the cable, in the host's call order: create, openTarget, lockTarget, scanJTAGChain,
// setIRLength for every device, the commands, unlockTarget, closeTarget, destroy. The plug-in
// object is driven only through its virtual interface.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "host/HostArguments.h"
#include "host/PluginExports.h"
#include "host/ResultWriter.h"

namespace CsePluginInterface {
class ICsePlugin;
}

namespace csehost {

// Doubles as cse-host's exit status.
enum class Outcome { kSuccess = 0, kFailed = 1, kUsage = 2 };

// The most bits one raw shift of the debugger carries; an IR scan is never split.
constexpr uint32_t kMaxIrScanBits = 122816;

class HostSession {
  public:
    HostSession(const PluginExports& exports, int verbosity, ResultWriter& writer);
    ~HostSession();  // finishes a session that is still open
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    // Create, open (node, port, type), lock, scan, and set the IR lengths: the given ones after
    // checking them against the measured IR path, or derived ones when the chain allows exactly
    // one reading. For diagnose, a failing scan or IR check is left for the diagnosis to report.
    [[nodiscard]] Outcome begin(const std::string& node, const std::string& port,
                                const HostOptions& options);
    [[nodiscard]] Outcome execute(const HostCommand& command);
    // Unlock, close, destroy; kFailed when closing failed.
    [[nodiscard]] Outcome finish();

  private:
    Outcome failed(const std::string& what);
    Outcome usage(const std::string& what);
    void clearLibraryErrors();
    bool resetTap();
    Outcome setIrLengths(const std::vector<uint32_t>& lengths);
    Outcome checkGivenIrLengths(const std::vector<uint32_t>& lengths);
    Outcome deriveAndSetIrLengths();
    bool measureIrPath(uint32_t& totalBits, std::vector<uint8_t>& capture);
    Outcome checkDevice(uint32_t device);
    Outcome needIrLengths(const HostCommand& command);
    Outcome needInstructions(const HostCommand& command);
    bool shiftChain(bool ir, const uint8_t* tdi, uint8_t* tdo, uint32_t bitCount);

    Outcome scan(const HostCommand& command);
    Outcome readIdcode(const HostCommand& command);
    Outcome deviceScan(const HostCommand& command);
    Outcome chainScan(const HostCommand& command);
    Outcome moveTap(const HostCommand& command);
    Outcome diagnose(const HostOptions& options);
    Outcome playSvfCommand(const HostCommand& command);  // HostSvf.cpp
    Outcome serve(const HostCommand& command);           // ServeCommand.cpp

    const PluginExports& exports_;
    int verbosity_ = 0;
    ResultWriter& writer_;
    const HostOptions* options_ = nullptr;
    CsePluginInterface::ICsePlugin* plugin_ = nullptr;
    bool opened_ = false;
    bool locked_ = false;
    bool scanned_ = false;
    std::string scanProblem_;  // why the scan failed (diagnose goes on without it)
    uint32_t deviceCount_ = 0;
    bool irLengthsKnown_ = false;
    std::string irLengthProblem_;      // why they are not known
    bool instructionsLoaded_ = false;  // an irscan since the last TAP reset
    std::string origin_;               // "FILE:LINE: " of the running script command
};

}  // namespace csehost
