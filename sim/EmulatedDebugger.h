// SPDX-License-Identifier: Apache-2.0
// The debugger behind the link: executes attach, command lines and TAP accesses against the
// virtual chain and keeps what tests inspect. One request in, one status and reply data out; it
// knows nothing of datagrams or sequence numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "sim/QuorbitSim.h"
#include "sim/RequestDecoder.h"
#include "sim/VcdWriter.h"
#include "sim/VirtualChain.h"

namespace quorbit {

// The most reply data a request may produce (the client's reply room minus the envelope).
constexpr std::size_t kMaxReplyDataBytes = 16640 - 5;

struct RequestOutcome {
    std::uint8_t status = kStatusOk;
    std::string description;  // for the verbose line: kind, bits, states passed
};

class EmulatedDebugger {
  public:
    EmulatedDebugger(const ChainDescription& chain, std::size_t rawShiftLogCapacity);
    EmulatedDebugger(const EmulatedDebugger&) = delete;  // the chain's listener points here
    EmulatedDebugger& operator=(const EmulatedDebugger&) = delete;

    // Opens the waveform dump; false with a reason when the file cannot be created.
    [[nodiscard]] bool openVcd(const std::string& path, std::uint64_t maxBytes, std::string& error);
    void setFaults(bool attachFails, bool releaseFails);
    void setBoardFaults(const BoardFaults& faults) { chain_.setBoardFaults(faults); }
    void setDebugPortFaults(const DebugPortFaults& faults) { chain_.setDebugPortFaults(faults); }
    void flushVcd() { vcd_.flush(); }
    // Whether successful TAP accesses get a description (kind, bits, states passed); building it
    // costs more than the shift of a short scan, so it is done only for verbose output.
    void setDescribeShifts(bool describe);

    // Executes one reassembled request; the reply data (TDO) go to replyData (cleared first).
    RequestOutcome execute(const std::uint8_t* message, std::size_t length,
                           std::vector<std::uint8_t>& replyData);

    // A new or lost link session: detached, pins disabled, no TAP access open. The chain keeps
    // its state, as real hardware would.
    void resetSession();

    // remote_bitbang drives the same chain clock by clock.
    bool bitbangClock(bool tms, bool tdi);
    bool bitbangTdo() const { return chain_.tdo(); }
    void bitbangTrst();

    // Inspection.
    const VirtualChain& chain() const { return chain_; }
    bool attached() const { return attached_; }
    bool pinsEnabled() const { return pinsEnabled_; }
    bool tapAccessOpen() const { return tapAccessOpen_; }
    const std::deque<std::string>& commands() const { return commands_; }
    const std::deque<RawShiftRecord>& rawShifts() const { return rawShifts_; }
    void clearRecords();

  private:
    RequestOutcome attach();
    RequestOutcome command(const RequestEnvelope& envelope);
    RequestOutcome tapAccess(const RequestEnvelope& envelope, std::vector<std::uint8_t>& replyData);
    std::uint8_t runShifts(std::vector<std::uint8_t>& replyData, std::string& description);
    void recordShift(const RawShift& shift, TapState start, std::size_t tdoBytes,
                     std::uint8_t status);
    std::string statePathText() const;

    VirtualChain chain_;
    VcdWriter vcd_;
    std::vector<RawShift> shifts_;          // reused per request
    std::vector<std::uint8_t> scratchTdo_;  // TDO for the dump when the client wants none
    std::vector<TapState> statePath_;       // states passed during the current request
    std::size_t statePathDropped_ = 0;
    std::deque<std::string> commands_;
    std::deque<RawShiftRecord> rawShifts_;
    std::size_t rawShiftLogCapacity_ = 0;
    bool describeShifts_ = true;
    bool attachFails_ = false;
    bool releaseFails_ = false;
    bool attached_ = false;
    bool pinsEnabled_ = false;
    bool tapAccessOpen_ = false;
};

}  // namespace quorbit
