// SPDX-License-Identifier: Apache-2.0
// koraven_cse.Queue, what Session.queue() gives: the session's scans and navigations collected in
// a csesession::ScanQueue and sent together when the queue runs (at the end of its `with`
// block), each call answered at once with a Queued result that is filled then.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "python/PythonSession.h"
#include "session/ScanQueue.h"

namespace csepython {

class PythonQueue {
  public:
    // `session` is the Python Session object, kept alive as long as the queue (and its results).
    PythonQueue(py::object session, uint32_t retries);

    // Each adds an item and returns its index; the caller's mistakes raise at once.
    size_t irscan(uint32_t device, const py::object& value);
    size_t drscan(uint32_t device, const py::object& value, std::optional<uint32_t> bits);
    size_t chainScan(csesession::Register reg, const py::object& value,
                     std::optional<uint32_t> bits);
    size_t state(const std::string& name, uint32_t clocks, uint32_t waitUs);

    void run();      // once; CseError (with .item) when an item failed
    void discard();  // the with block raised: nothing is sent
    [[nodiscard]] size_t size() const { return shapes_.size(); }

    [[nodiscard]] bool done(size_t item) const;
    // The scan's TDO (int or bytes, as given) or the state reached; raises while there is none.
    [[nodiscard]] py::object value(size_t item) const;

  private:
    enum class Phase { kOpen, kRan, kFailed, kDiscarded };
    struct Shape {
        bool bytes = false;  // the value was given as bytes
        bool state = false;  // a navigation
        uint32_t bits = 0;
    };
    [[nodiscard]] PythonSession& session() const;
    size_t added(size_t item, Shape shape);
    void checkOpen() const;

    py::object sessionObject_;
    uint32_t retries_;
    csesession::ScanQueue queue_;
    std::vector<Shape> shapes_;
    Phase phase_ = Phase::kOpen;
    std::optional<size_t> failedItem_;
};

// One item's result: Queued.value, .done, .index.
struct QueuedResult {
    std::shared_ptr<PythonQueue> queue;
    size_t index = 0;
};

}  // namespace csepython
