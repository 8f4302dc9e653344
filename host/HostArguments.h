// SPDX-License-Identifier: Apache-2.0
// cse-host's command line and the command lines of a run script, parsed without touching anything
// else.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace csehost {

enum class CommandKind {
    kScan,
    kIdcode,
    kIrScan,
    kDrScan,
    kIrScanChain,
    kDrScanChain,
    kState,
    kRun,
    kDiagnose,
    kSvf,
    kServe,
    kQueue,    // run scripts only: the commands up to run-queue are queued
    kRunQueue  // sends what was queued, then prints the results in order
};

struct HostCommand {
    CommandKind kind = CommandKind::kScan;
    std::string text;                       // the command as written, for messages
    uint32_t device = 0;                    // idcode, irscan, drscan
    uint32_t bitCount = 0;                  // the four scans
    std::vector<uint8_t> tdi;               // the four scans: (bitCount + 7) / 8 bytes
    uint32_t state = 0;                     // state: 0..15 in the order of the TAP state codes
    uint32_t clocks = 0;                    // state: extra TCK cycles in the goal state
    bool hasWait = false;                   // state: WAIT_US given (selects the waiting navigation)
    uint32_t waitMicroseconds = 0;          // state
    std::string file;                       // run, svf
    std::string origin;                     // "FILE:LINE" for a command of a run script, else empty
    bool keepGoing = false;                 // svf: --keep-going
    std::string rbbBind = "127.0.0.1";      // serve: --rbb-bind
    uint16_t rbbPort = 3335;                // serve: --rbb-port (0: a free one)
};

struct HostOptions {
    std::string libraryPath;                 // --lib; empty = the lookup of locatePlugin
    bool useFrontEnd = false;                // --node or --port given: no embedded emulator
    std::string node = "localhost";          // --node
    std::string port = "20000";              // --port, validated 1..65535
    std::optional<uint32_t> timeoutSeconds;  // --timeout, 1..3600
    std::optional<uint32_t> packetLength;    // --packlen, 16..1472
    std::optional<uint16_t> hostPort;        // --hostport
    std::string shifts;                      // --shifts: "split", "merged" or empty (the default)
    std::optional<uint16_t> simPort;         // --sim-port
    bool bashCompletion = false;             // --bash-completion
    std::string simChainPath;                // --sim-chain
    std::string simPcapPath;                 // --sim-pcap
    bool hasIrLengths = false;               // --irlen given
    std::vector<uint32_t> irLengths;         // device 0 (nearest TDI) first
    int verbosity = 0;                       // number of -v, at most 4
    bool dump = false;                       // --dump
    bool json = false;                       // --json: one JSON document on stdout
    bool quiet = false;                      // --quiet: nothing on stderr unless something fails
    std::string boardFaults;                 // --sim-board-fault, for the embedded emulator
    bool help = false;                       // --help
    bool keepGoing = false;                  // --keep-going (svf, run)
    bool checkEach = false;                  // --check-each (svf)
    uint32_t retries = 0;                    // --retries (svf, run)
    bool version = false;                    // --version
    std::optional<std::string> rbbBind;      // --rbb-bind (serve)
    std::optional<uint16_t> rbbPort;         // --rbb-port (serve)
    HostCommand command;
};

constexpr uint32_t kMaxDeviceIndex = 254;  // the largest chain a scan accepts has 254 devices
constexpr uint32_t kMaxIrLength = 65535;
constexpr uint32_t kMaxRetries = 100;

// args excludes the program name. False with a one-line reason on a usage error.
[[nodiscard]] bool parseHostArguments(const std::vector<std::string>& args, HostOptions& options,
                                      std::string& error);

// One command and its arguments; a run script may not run another script.
enum class RunNesting { kAllowRun, kRefuseRun };
[[nodiscard]] bool parseCommandWords(const std::vector<std::string>& words, RunNesting nesting,
                                     HostCommand& command, std::string& error);

// A run script: one command a line, '#' starts a comment, blank lines are skipped. Errors name the
// file and line. `queue` ... `run-queue` marks a block of irscan, drscan, irscan-chain,
// drscan-chain and state commands that go to the cable together.
[[nodiscard]] bool parseRunScript(const std::string& text, const std::string& fileName,
                                  std::vector<HostCommand>& commands, std::string& error);

// "6,8,4": device 0 first.
[[nodiscard]] bool parseIrLengthList(const std::string& text, std::vector<uint32_t>& lengths,
                                     std::string& error);

// A TAP state by name: "PAUSE_DR", "CSEJTAG_PAUSE_DR", "Pause-DR", "run-test/idle", and the
// OpenOCD and SVF names "DRPAUSE", "IDLE", "RESET", "RUN/IDLE" (any case).
[[nodiscard]] bool parseTapStateName(const std::string& text, uint32_t& state, std::string& error);

[[nodiscard]] std::string hostUsageText();

}  // namespace csehost
