// SPDX-License-Identifier: Apache-2.0
#include "python/SessionQueue.h"

#include "python/BitValues.h"
#include "python/PythonErrors.h"

namespace csepython {

PythonQueue::PythonQueue(py::object session, uint32_t retries)
    : sessionObject_(std::move(session)), retries_(retries) {
    // A closed session (or one busy in this thread) refuses here already.
    this->session().run([](csesession::CableSession&) {});
}

PythonSession& PythonQueue::session() const {
    return sessionObject_.cast<PythonSession&>();
}

void PythonQueue::checkOpen() const {
    if (phase_ != Phase::kOpen) throw usageError("the queue has run: make a new one");
}

size_t PythonQueue::added(size_t item, Shape shape) {
    shapes_.push_back(shape);
    return item;
}

size_t PythonQueue::irscan(uint32_t device, const py::object& value) {
    checkOpen();
    // The IR length decides the bit count; an unknown one is left to the queue to refuse.
    const uint32_t bits = session().run([device](csesession::CableSession& s) -> uint32_t {
        const auto& devices = s.devices();
        return device < devices.size() ? devices[device].irLength.value_or(0) : 0;
    });
    std::optional<uint32_t> count = bits == 0 ? std::optional<uint32_t>() : bits;
    const std::vector<uint8_t> tdi =
        count ? valueBits(value, count, "irscan") : std::vector<uint8_t>();
    const size_t item = session().run([&](csesession::CableSession& s) {
        return queue_.deviceScan(s, csesession::Register::kIr, device, tdi, bits);
    });
    return added(item, {isBytesLike(value), false, bits});
}

size_t PythonQueue::drscan(uint32_t device, const py::object& value, std::optional<uint32_t> bits) {
    checkOpen();
    const std::vector<uint8_t> tdi = valueBits(value, bits, "drscan");
    const size_t item = session().run([&](csesession::CableSession& s) {
        return queue_.deviceScan(s, csesession::Register::kDr, device, tdi, *bits);
    });
    return added(item, {isBytesLike(value), false, *bits});
}

size_t PythonQueue::chainScan(csesession::Register reg, const py::object& value,
                              std::optional<uint32_t> bits) {
    checkOpen();
    const std::vector<uint8_t> tdi = valueBits(value, bits, "a chain scan");
    return added(queue_.chainScan(reg, tdi, *bits), {isBytesLike(value), false, *bits});
}

size_t PythonQueue::state(const std::string& name, uint32_t clocks, uint32_t waitUs) {
    checkOpen();
    const auto goal = csesession::parseTapState(name);
    if (!goal) {
        throw usageError("unknown TAP state '" + name +
                         "' (e.g. RUN_TEST_IDLE, SHIFT_DR, PAUSE_IR, DRPAUSE)");
    }
    const size_t item = queue_.navigate(
        *goal, clocks, waitUs == 0 ? std::nullopt : std::optional<uint32_t>(waitUs));
    return added(item, {false, true, 0});
}

void PythonSession::runQueue(csesession::ScanQueue& queue, uint32_t retries) {
    run([&](csesession::CableSession& session) { queue.run(session, calls_, retries); });
}

void PythonQueue::run() {
    checkOpen();
    phase_ = Phase::kFailed;  // until it has run through
    try {
        session().runQueue(queue_, retries_);
    } catch (const csesession::QueueError& error) {
        failedItem_ = error.item();
        throw;
    }
    phase_ = Phase::kRan;
}

void PythonQueue::discard() {
    if (phase_ == Phase::kOpen) phase_ = Phase::kDiscarded;
}

bool PythonQueue::done(size_t item) const {
    return phase_ != Phase::kOpen && phase_ != Phase::kDiscarded && queue_.done(item);
}

py::object PythonQueue::value(size_t item) const {
    switch (phase_) {
        case Phase::kOpen:
            throw usageError("queue item " + std::to_string(item) +
                             " has no result yet: the queue runs at the end of its with block "
                             "(or at run())");
        case Phase::kDiscarded:
            throw usageError("queue item " + std::to_string(item) +
                             " has no result: the with block raised, so the queue was not run");
        case Phase::kRan:
        case Phase::kFailed:
            break;
    }
    if (!queue_.done(item)) {
        throw csesession::SessionError(
            csesession::ErrorKind::kFailed,
            "queue item " + std::to_string(item) + " was not carried out: the queue failed" +
                (failedItem_ ? " at item " + std::to_string(*failedItem_) : std::string()));
    }
    const Shape& shape = shapes_[item];
    if (shape.state) return py::str(csesession::tapStateName(queue_.reached(item)));
    const std::vector<uint8_t>& tdo = queue_.tdo(item);
    if (shape.bytes) return py::bytes(reinterpret_cast<const char*>(tdo.data()), tdo.size());
    return bitsToInt(tdo.data(), tdo.size());
}

}  // namespace csepython
