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
    // The parser's buffers do not outlive the statement.
    check.scan.tdi = nullptr;
    check.scan.expected = nullptr;
    check.scan.mask = nullptr;
    const size_t bytes = (static_cast<size_t>(scan.totalBits) + 7) / 8;
    check.expectedAt = checkBits_.size();
    checkBits_.insert(checkBits_.end(), scan.expected, scan.expected + bytes);
    check.masked = scan.mask != nullptr;
    check.maskAt = checkBits_.size();
    if (check.masked) checkBits_.insert(checkBits_.end(), scan.mask, scan.mask + bytes);
    checks_.push_back(check);
}

SvfScan SvfQueue::scanOf(const SvfQueuedCheck& check) const {
    SvfScan scan = check.scan;
    scan.expected = checkBits_.data() + check.expectedAt;
    scan.mask = check.masked ? checkBits_.data() + check.maskAt : nullptr;
    return scan;
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
    checkBits_.clear();
    instruction_.reset();
}

}  // namespace csesvf
