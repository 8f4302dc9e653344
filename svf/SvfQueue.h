// SPDX-License-Identifier: Apache-2.0
// Statements kept to go to the cable together as one raw shift (the plug-in's "raw-shift"
// command), with the TDO checks to make once that shift's TDO is back and what a repetition of
// the whole queue needs: the state and the instruction in effect where it starts. The walks are
// the plug-in's own (koraven-cse-plugin/CseTapWalk.h), so the TAP passes the states the
// statements would pass one by one.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "koraven-cse-plugin/CseRawShiftStream.h"
#include "svf/SvfParser.h"

namespace csesvf {

// The most clocks one queue carries: one block of the debugger with both streams, which the
// plug-in sends as one request.
constexpr uint32_t kMaxQueueBits = 61408;

// The last SIR played (with its header and trailer), to load it again after a failed call.
struct SvfInstruction {
    uint64_t line = 0;
    std::vector<uint8_t> tdi;
    uint32_t bits = 0;
    SvfState endState = SvfState::kIdle;
};
// Null: the instructions are those of the last TAP reset.
using SvfInstructionPtr = std::shared_ptr<const SvfInstruction>;

// A scan of the queue whose TDO is checked.
struct SvfQueuedCheck {
    uint64_t line = 0;
    size_t statement = 0;  // its place among the queue's statements
    uint32_t dataAt = 0;   // the first bit of its shift in the queue's stream
    SvfScan scan;          // without the parser's buffers (SvfQueue::scanOf gives them back)
    size_t expectedAt = 0;  // its expected bits and mask in the queue's own store
    size_t maskAt = 0;
    bool masked = false;  // else every bit counts
};

class SvfQueue {
  public:
    using Stream = CsePluginInterface::CseRawShiftStream;

    [[nodiscard]] bool empty() const { return lines_.empty(); }
    [[nodiscard]] uint32_t room() const { return kMaxQueueBits - stream_.bits(); }
    // Where the TAP stands once what is queued is clocked (not empty()).
    [[nodiscard]] CsePluginInterface::CseJtagTapState endState() const { return stream_.state(); }

    // Before the first statement of a queue: the state the TAP is in and the instruction in
    // effect there.
    void begin(CsePluginInterface::CseJtagTapState current, SvfInstructionPtr instruction);
    // A statement whose clocks the caller appends to stream() next.
    void addStatement(uint64_t line) { lines_.push_back(line); }
    [[nodiscard]] Stream& stream() { return stream_; }
    // A scan: its clocks, and its check when it gives TDO.
    void addScan(uint64_t line, const SvfScan& scan);

    // The clocks of a RUNTEST that needs no wait, from the queue's state (`current` when empty).
    [[nodiscard]] static uint32_t runTestBits(CsePluginInterface::CseJtagTapState from,
                                              const SvfRunTest& run);
    void addRunTest(const SvfRunTest& run);

    [[nodiscard]] const std::vector<uint64_t>& lines() const { return lines_; }
    [[nodiscard]] const std::vector<SvfQueuedCheck>& checks() const { return checks_; }
    // The check's scan with its expected bits and mask (valid until the queue changes).
    [[nodiscard]] SvfScan scanOf(const SvfQueuedCheck& check) const;
    [[nodiscard]] CsePluginInterface::CseJtagTapState startState() const {
        return stream_.startState();
    }
    [[nodiscard]] const SvfInstructionPtr& startInstruction() const { return instruction_; }
    void clear();

  private:
    Stream stream_;
    std::vector<uint64_t> lines_;
    std::vector<SvfQueuedCheck> checks_;
    std::vector<uint8_t> checkBits_;  // the checks' expected bits and masks, one after the other
    SvfInstructionPtr instruction_;
};

}  // namespace csesvf
