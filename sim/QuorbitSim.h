// SPDX-License-Identifier: Apache-2.0
// quorbit-sim as a library: an emulator of the debugger front end's UDP remote interface with a
// virtual JTAG chain behind it. Tests, the host and the benchmarks start a Simulator on an
// ephemeral port, talk to it over real UDP (and optionally remote_bitbang over TCP), and inspect
// what it saw through the thread-safe accessors below.
//
// Nothing here throws or prints: failures come back as false plus an error text, and the running
// emulator reports through SimOptions::logSink.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/TapState.h"

namespace quorbit {

// ---- Chain description ------------------------------------------------------------------------

// An ARM debug port behind a device's TAP (sim/DebugPortDevice.h): a JTAG-DP (IR 4 bits, ABORT 0x8,
// DPACC 0xA, APACC 0xB, IDCODE 0xE) with one AHB MEM-AP to a Cortex-M core's system: RAM at
// kDebugRamBase (and at address 0, where the vector table is), a ROM table and the core's debug
// registers.
struct DebugPortDescription {
    std::uint32_t ramBytes = 64u << 10;  // 1 KiB..64 MiB, a multiple of 1 KiB
};
constexpr std::uint32_t kDebugRamBase = 0x20000000;
constexpr std::uint32_t kMaxDebugRamBytes = 64u << 20;

// One device of the virtual chain.
struct DeviceDescription {
    std::string name;
    unsigned irLength = 0;                            // 2..64 bits
    std::optional<std::uint32_t> idcode;              // absent: the device has no IDCODE register
    std::uint64_t idcodeOpcode = 0;                   // instruction selecting IDCODE (if present)
    std::map<std::uint64_t, unsigned> userRegisters;  // opcode -> width in bits (1..1048576)
    // Present: an ARM debug port (IR 4, IDCODE E). Initialised here so that brace lists may omit it.
    std::optional<DebugPortDescription> debugPort = std::nullopt;
};

// The whole chain; devices[0] is nearest TDI, the last device drives TDO.
struct ChainDescription {
    std::vector<DeviceDescription> devices;
};

constexpr unsigned kMinIrLength = 2;
constexpr unsigned kMaxIrLength = 64;
constexpr unsigned kMaxUserRegisterBits = 1u << 20;
constexpr std::size_t kMaxChainDevices = 1024;

// Three made-up devices with IR lengths 6, 8 and 4; the last has no IDCODE; the middle one has
// user registers. Used when no chain file is given.
ChainDescription defaultDemoChain();

// Checks the rules the parser enforces (lengths, opcodes that fit, no clashes) on a chain built in
// code. The error names the device by index and name.
[[nodiscard]] bool validateChain(const ChainDescription& chain, std::string& error);

// Chain text: one device per line, "#" starts a comment, blank lines are skipped:
//   <name> <ir-length> <idcode-hex | -> <idcode-opcode-hex | -> [<opcode-hex>=<width> ...]
// or, for an ARM debug port, "jtag-dp" and optionally "ram=<size>" (bytes, K or M suffix) after
// the IDCODE opcode: <name> 4 <idcode-hex> E jtag-dp [ram=128K]
// Errors read "<fileName>:<line>: <what is wrong>" (or "<fileName>: no devices").
[[nodiscard]] bool parseChainText(const std::string& text, const std::string& fileName,
                                  ChainDescription& chain, std::string& error);
[[nodiscard]] bool parseChainFile(const std::string& path, ChainDescription& chain,
                                  std::string& error);

// ---- Fault injection --------------------------------------------------------------------------

// Per-run misbehaviour of the emulator, seeded so that a run can be repeated. Probabilities are
// 0..1 and drawn per datagram (drops) or per reply (the others).
//
// Text form, comma separated; a flag without "=p" means probability 1:
//   drop-in=P        ignore a fraction of the datagrams the client sends
//   drop-out=P       do not send a fraction of the emulator's datagrams (tokens and replies too)
//   dup-in[=P], dup-out[=P]  take (send) a fraction of the datagrams twice, as a network may
//   reorder-in[=P], reorder-out[=P]  let a datagram pass behind the next one (or 20 ms late)
//   delay-in=A-Bms, delay-out=A-Bms  hold each datagram back by a delay drawn from A to B ms
//   dup-reply[=P]    send a reply twice, byte for byte
//   delay-reply=Nms  hold each reply back for N milliseconds ("N" alone means milliseconds too)
//   stale-first[=P]  first answer with the previous message id, then the real reply
//   busy-first[=P]   first answer status 254 (not final), then the real reply
//   same-toggle-first[=P]  first send the reply with the previous toggle bit (looks repeated)
//   notify[=P]       send a notification datagram (0x06 ...) before the reply
//   token-first[=P]  send a "+" before the reply
//   tokens-between[=P]  send a "+" and a notification between the fragments of a reply
//   sync-again       answer the first sync request of each connection with sync-again
//   silent           never send anything
//   silent-after=N   stop sending anything after N requests
//   refuse | deny    answer every connect request with refused (0x23) / denied (0x53)
//   spoof[=P]        before the reply, send a copy with inverted data from a second socket
//   restart-after=N  forget the whole link state after the N-th request (once per run)
//   release-fails    the TAP release request answers status kStatusReleaseFailed
//   attach-fails     the attach request answers status kStatusAttachFailed
//   ack-every=N      every N-th reply fragment that has a successor asks for an acknowledgement
//   repeat-idle=Nms  repeat the last reply once when no new request came within N milliseconds
//   chatter=Nms      never answer a request; every N milliseconds send a flow token, a
//                    notification or a stale reply fragment instead, in turn, until the next one
//   seed=N           seed of the pseudo-random draws (default 1)
// Faults of a chain's ARM debug port (devices with jtag-dp), counted from the emulator's start:
//   dap-wait=N         every N-th access of the MEM-AP keeps the AP busy: the AP accesses after
//                      it answer WAIT (and with overrun detection set STICKYORUN)
//   dap-wait-scans=K   ... that many of them (default 1)
//   dap-sticky-error=A the first bus access to address A (hexadecimal) fails: STICKYERR
//   dap-power-lost=A   the first bus access to address A finds the debug power domain lost: the
//                      power-up requests and acknowledgements drop, STICKYERR is set

// The ARM debug port's faults (see dap-* above).
struct DebugPortFaults {
    unsigned waitEvery = 0;  // 0 = never
    unsigned waitScans = 1;
    std::optional<std::uint32_t> stickyErrorAt;
    std::optional<std::uint32_t> powerLostAt;
};

// A range of delays; each datagram draws its own.
struct DelayRange {
    unsigned lowMs = 0;
    unsigned highMs = 0;
};

struct FaultPlan {
    double dropIn = 0.0;
    double dropOut = 0.0;
    // The network's own faults, per datagram: a copy, a swap with the next datagram, a delay.
    double duplicateIn = 0.0;
    double duplicateOut = 0.0;
    double reorderIn = 0.0;
    double reorderOut = 0.0;
    DelayRange delayIn;
    DelayRange delayOut;
    double duplicateReply = 0.0;
    unsigned delayReplyMs = 0;
    double staleFirst = 0.0;
    double busyFirst = 0.0;
    double sameToggleFirst = 0.0;
    double notify = 0.0;
    double tokenFirst = 0.0;
    double tokensBetween = 0.0;
    bool syncAgain = false;
    bool silent = false;
    unsigned silentAfter = 0;  // 0 = never
    bool refuse = false;
    bool deny = false;
    double spoof = 0.0;
    unsigned restartAfter = 0;  // 0 = never
    bool releaseFails = false;
    bool attachFails = false;
    unsigned ackEvery = 0;      // 0 = never ask
    unsigned repeatIdleMs = 0;  // 0 = never repeat on idle
    unsigned chatterMs = 0;     // 0 = answer requests
    // A front end without a memory of the requests it carried out: one that arrives again with
    // the same sequence numbers is carried out again and answered with a new reply.
    bool reexecute = false;
    std::uint64_t seed = 1;
    DebugPortFaults debugPort;
};

// Parses the text form above into a fresh plan (fields not named keep their defaults). An empty
// text is an empty plan. On error the plan is unchanged and the error names the offending item.
[[nodiscard]] bool parseFaultList(const std::string& text, FaultPlan& plan, std::string& error);

// ---- Board faults -----------------------------------------------------------------------------

// Faults of the board rather than of the link, on the virtual chain's lines. Text form, comma
// separated (the option --board-fault may also be repeated):
//   tdo-stuck-0, tdo-stuck-1  TDO reads 0 / 1 whatever the chain drives
//   tdo-echoes-tdi            TDO follows TDI (the two lines are shorted)
//   open-after=N              the line from device N's TDO to device N+1 is open and pulled high:
//                             the devices beyond N shift in ones, and nothing from TDI or devices
//                             0..N reaches the TDO pin
//   ir-capture=N:VALUE        device N captures VALUE (hexadecimal) in Capture-IR instead of ...01
struct BoardFaults {
    enum class Tdo { Driven, StuckLow, StuckHigh, EchoesTdi };
    Tdo tdo = Tdo::Driven;
    std::optional<std::size_t> openAfter;
    std::map<std::size_t, std::uint64_t> irCapture;  // device -> captured value
};

// Adds the faults of the text to `faults`. The error names the offending item.
[[nodiscard]] bool parseBoardFaults(const std::string& text, BoardFaults& faults,
                                    std::string& error);
// Whether the faults fit the chain (device numbers, capture values within the IR length).
[[nodiscard]] bool checkBoardFaults(const BoardFaults& faults, const ChainDescription& chain,
                                    std::string& error);

// ---- Status bytes of the emulated debugger ----------------------------------------------------

constexpr std::uint8_t kStatusOk = 0;
constexpr std::uint8_t kStatusUnknownCommand = 1;  // command line not understood
constexpr std::uint8_t kStatusNotAttached = 2;     // command or TAP access before attach
constexpr std::uint8_t kStatusPinsDisabled = 3;    // raw shift before "JTAG.PIN ENABLE"
constexpr std::uint8_t kStatusMalformed = 4;       // lengths or fields that do not add up
constexpr std::uint8_t kStatusUnknownRequest = 5;  // request code or sub-code not known
constexpr std::uint8_t kStatusBadShiftBlock = 6;   // TAP data that is not a valid raw-shift block
constexpr std::uint8_t kStatusAttachFailed = 7;    // fault attach-fails
constexpr std::uint8_t kStatusReleaseFailed = 8;   // fault release-fails
constexpr std::uint8_t kStatusBusy = 254;          // not final; the real reply follows

// ---- Options and inspection records -----------------------------------------------------------

enum class LogKind {
    Info,     // start, stop, connects, faults taking effect
    Request,  // one line per request, only with SimOptions::verbose
    Refusal,  // malformed or unexpected input that was refused or dropped
};

struct SimOptions {
    std::string bindAddress = "127.0.0.1";  // dotted IPv4 address
    std::uint16_t port = 0;                 // UDP port, 0 = ephemeral
    int packetLength = 1024;  // 16..1472: length of the accept datagram, largest fragment
    ChainDescription chain = defaultDemoChain();
    FaultPlan faults;
    BoardFaults boardFaults;
    std::string vcdPath;                      // empty = no waveform dump
    std::uint64_t vcdMaxBytes = 64ull << 20;  // the dump stops growing at this size
    std::string pcapPath;  // empty = no capture; else every UDP datagram sent and received
    bool verbose = false;
    int rbbPort = -1;  // remote_bitbang TCP port: -1 off, 0 ephemeral
    // A connect request from another client is refused while the link's holder has been heard
    // within this many seconds; a holder silent for longer (gone without a disconnect notice)
    // loses the link to the next client. 0: every connect request takes the link.
    unsigned linkLeaseSeconds = 5;
    std::function<void(LogKind, const std::string&)> logSink;  // called on the emulator's thread
    // How long a reply fragment that asks for an acknowledgement waits for it before the rest of
    // the reply is sent anyway. Tests shorten it.
    unsigned ackWaitMs = 500;
    std::size_t rawShiftLogCapacity = 1024;  // oldest records are dropped beyond this
};

// One raw-shift block as it was executed.
struct RawShiftRecord {
    std::uint16_t optionWord = 0;
    std::uint32_t bitCount = 0;
    std::vector<std::uint8_t> tms;  // TMS bytes when present and the shift is at most 128 bits
    std::vector<std::uint8_t> tdi;  // TDI bytes likewise
    std::size_t tdoBytes = 0;       // TDO bytes returned in the reply
    TapState startState = TapState::TestLogicReset;
    TapState endState = TapState::TestLogicReset;
    std::uint8_t status = kStatusOk;
};

struct SimCounters {
    std::uint64_t requests = 0;               // non-empty request messages executed
    std::uint64_t emptyMessages = 0;          // empty messages from the client (no reply)
    std::uint64_t fragmentsIn = 0;            // data fragments accepted from the client
    std::uint64_t fragmentsOut = 0;           // reply fragments sent (repeats included)
    std::uint64_t flowTokensSent = 0;         // "+" sent as flow control
    std::uint64_t retransmittedRequests = 0;  // requests the client sent again
    std::uint64_t repeatedReplies = 0;        // replies sent again byte for byte
    std::uint64_t malformedDatagrams = 0;     // datagrams refused as malformed or unexpected
    std::uint64_t droppedIn = 0;              // fault drop-in
    std::uint64_t droppedOut = 0;             // fault drop-out
    std::uint64_t duplicatedIn = 0;           // fault dup-in
    std::uint64_t duplicatedOut = 0;          // fault dup-out
    std::uint64_t reordered = 0;              // faults reorder-in and reorder-out
    std::uint64_t acksReceived = 0;
    std::uint64_t notificationsSent = 0;
    std::uint64_t connects = 0;         // connect requests answered with accept
    std::uint64_t connectsRefused = 0;  // connect requests refused: another client holds the link
    std::uint64_t syncs = 0;            // sync replies sent
    std::uint64_t disconnects = 0;      // disconnect notices that closed a link
    std::uint64_t rbbClocks = 0;        // rising TCK edges over remote_bitbang
    // Rounds of remote_bitbang input that were answered: each a wait of a client that reads TDO
    // (OpenOCD waits only for answers).
    std::uint64_t rbbAnswerRounds = 0;
};

// ---- The emulator -----------------------------------------------------------------------------

class Simulator {
  public:
    explicit Simulator(SimOptions options);
    ~Simulator();  // stops the emulator if it runs
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Validates the options, binds the sockets, opens the VCD file and starts the emulator's
    // thread. False with a reason when any of it fails (nothing is left running then).
    [[nodiscard]] bool start(std::string& error);
    // Stops the thread promptly (no time-out is waited for) and closes everything. Idempotent.
    void stop();
    bool running() const;

    std::uint16_t udpPort() const;  // the bound UDP port; 0 before start
    int rbbPort() const;            // the bound remote_bitbang port; -1 when off

    // Thread-safe inspection; each call takes a consistent snapshot.
    std::size_t deviceCount() const;
    TapState tapState() const;                    // all devices share TMS, so one state
    TapState tapState(std::size_t device) const;  // the same, asked per device
    bool linkConnected() const;
    bool attached() const;
    bool pinsEnabled() const;
    bool tapAccessOpen() const;  // a TAP access continued with 0x93 and not yet ended
    std::vector<std::string> commands() const;  // command lines received, oldest first
    std::vector<RawShiftRecord> rawShifts() const;
    SimCounters counters() const;
    std::vector<std::string> recentLog() const;  // the last lines given to the log sink
    // Waits until one of the recent log lines contains `text` (true) or `limit` passes (false):
    // how a test learns that the emulator has handled a datagram that gets no answer, such as a
    // disconnect notice sent by a process that has exited since.
    bool waitForLogLine(const std::string& text, std::chrono::milliseconds limit) const;
    void resetInspection();  // clears counters, commands, raw-shift records and the recent log

    // The device's current instruction (what Update-IR last took effect with).
    [[nodiscard]] bool instruction(std::size_t device, std::uint64_t& opcode) const;
    // The value a user register holds (bit k in bit k%8 of byte k/8); false for an unknown
    // device or opcode.
    [[nodiscard]] bool userRegister(std::size_t device, std::uint64_t opcode,
                                    std::vector<std::uint8_t>& bits) const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quorbit
