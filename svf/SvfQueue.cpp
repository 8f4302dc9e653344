// SPDX-License-Identifier: Apache-2.0
#include "svf/SvfQueue.h"

namespace csesvf {

using CsePluginInterface::CseJtagTapState;
using CsePluginInterface::cseWalkTms;

namespace {

CseJtagTapState tapState(SvfState state) {
    return static_cast<CseJtagTapState>(state);
}

}  // namespace

void SvfQueue::begin(CseJtagTapState current, SvfInstructionPtr instruction) {
    clear();
    stream_.restart(current);
    instruction_ = std::move(instruction);
}

void SvfQueue::addScan(uint64_t line, const SvfScan& scan) {
    addStatement(line);
    const uint32_t dataAt =
        stream_.scan(scan.instruction ? Stream::Register::kIr : Stream::Register::kDr, scan.tdi,
                     scan.totalBits, tapState(scan.endState));
    if (!scan.check) return;
    SvfQueuedCheck check;
    check.line = line;
    check.statement = lines_.size() - 1;
    check.dataAt = dataAt;
    check.scan = scan;
    const size_t bytes = (static_cast<size_t>(scan.totalBits) + 7) / 8;
    check.expected.assign(scan.expected, scan.expected + bytes);
    if (scan.mask != nullptr) check.mask.assign(scan.mask, scan.mask + bytes);
    check.scan.tdi = nullptr;  // the parser's buffers do not outlive the statement
    check.scan.expected = nullptr;
    check.scan.mask = nullptr;
    checks_.push_back(std::move(check));
}

uint32_t SvfQueue::runTestBits(CseJtagTapState from, const SvfRunTest& run) {
    const CseJtagTapState state = tapState(run.runState);
    const CseJtagTapState end = tapState(run.endState);
    // Entering the run state clocks nothing in it; every clock after that is one in it.
    return (from != state ? cseWalkTms(from, state).length : 0) + run.clocks +
           (end != state ? cseWalkTms(state, end).length : 0);
}

void SvfQueue::addRunTest(const SvfRunTest& run) {
    const CseJtagTapState state = tapState(run.runState);
    const CseJtagTapState end = tapState(run.endState);
    if (stream_.state() != state) stream_.walk(state);
    stream_.clocks(run.clocks);
    if (end != state) stream_.walk(end);
}

void SvfQueue::clear() {
    stream_.restart(stream_.state());
    lines_.clear();
    checks_.clear();
    instruction_.reset();
}

}  // namespace csesvf
