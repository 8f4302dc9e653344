// SPDX-License-Identifier: Apache-2.0
// koraven_cse.Session: one csesession::CableSession for Python. Every call into the plug-in runs
// with the GIL released and under the session's own mutex, so other threads run meanwhile and two
// threads never drive the plug-in at once. One Session is open per process at a time: the plug-in's
// link to the front end is process-wide.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "python/LogBridge.h"
#include "session/CableSession.h"
#include "session/CallRetries.h"
#include "session/ScanQueue.h"

namespace csepython {

namespace py = pybind11;

// What Python passes to Session(...); None for anything not given.
struct SessionArguments {
    std::optional<std::string> node;
    std::optional<uint32_t> port;
    std::optional<std::string> lib;
    std::optional<std::vector<uint32_t>> irlen;
    std::optional<uint32_t> timeout;
    std::optional<uint32_t> packlen;
    std::optional<uint32_t> hostport;
    std::optional<std::string> simChain;
    std::vector<std::string> simBoardFaults;
    std::optional<std::string> shifts;
};

struct PyDevice {
    uint32_t index = 0;
    std::optional<uint32_t> idcode;
    std::optional<uint32_t> irlen;
    std::optional<uint32_t> manufacturer;  // JEP106 code: bits 11..1 (bank - 1 << 7 | id)
    std::optional<uint32_t> bank;
    std::optional<uint32_t> id;
    std::optional<uint32_t> part;
    std::optional<uint32_t> version;
    uint32_t openocdPosition = 0;
};

// A device with its IDCODE's fields.
[[nodiscard]] PyDevice describeDevice(const csesession::Device& device);

// The options the library gets for these arguments; UsageError for what cannot go together.
[[nodiscard]] csesession::SessionOptions sessionOptions(const SessionArguments& arguments);

class PythonSession {
  public:
    explicit PythonSession(const SessionArguments& arguments);  // GIL held
    ~PythonSession();
    PythonSession(const PythonSession&) = delete;
    PythonSession& operator=(const PythonSession&) = delete;

    [[nodiscard]] std::vector<PyDevice> devices();
    // `retries`: repetitions after a failed call (csesession::CallRetries), each logged.
    [[nodiscard]] uint32_t idcode(uint32_t device, uint32_t retries);
    [[nodiscard]] py::object irscan(uint32_t device, const py::object& value, uint32_t retries);
    [[nodiscard]] py::object drscan(uint32_t device, const py::object& value,
                                    std::optional<uint32_t> bits, uint32_t retries);
    [[nodiscard]] py::object chainScan(csesession::Register reg, const py::object& value,
                                       std::optional<uint32_t> bits, uint32_t retries);
    [[nodiscard]] std::string state(const std::string& name, uint32_t clocks, uint32_t waitUs,
                                    uint32_t retries);
    [[nodiscard]] std::string tapState();
    void reset();
    [[nodiscard]] std::string frontEnd();
    [[nodiscard]] bool embedded();
    [[nodiscard]] std::optional<std::string> scanProblem();
    [[nodiscard]] std::optional<std::string> irLengthProblem();
    [[nodiscard]] py::object svf(const py::object& source, bool keepGoing,
                                 const py::object& progress, bool checkEach, uint32_t retries);
    [[nodiscard]] py::list diagnose();
    // Runs a queue of this session's items (SessionQueue.cpp), repeating failed raw shifts.
    void runQueue(csesession::ScanQueue& queue, uint32_t retries);

    void close();  // idempotent; raises when releasing the front end failed
    [[nodiscard]] bool closed() const { return session_ == nullptr; }
    static void closeOpenSession();  // at interpreter exit: quietly, whatever is still open

    // Runs work(session) with the GIL released and the session's mutex held, then hands the log
    // lines to Python; a library failure is rethrown with the GIL held (and translated).
    template <class Work>
    auto run(Work&& work) {
        checkCallable();
        using Result = std::invoke_result_t<Work, csesession::CableSession&>;
        std::exception_ptr failure;
        std::optional<std::conditional_t<std::is_void_v<Result>, bool, Result>> result;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(mutex_);
            busyThread_ = std::this_thread::get_id();
            try {
                // Another thread may have closed it while this one waited for the mutex.
                if (!session_) throw closedError();
                if constexpr (std::is_void_v<Result>) {
                    work(*session_);
                    result = true;
                } else {
                    result = work(*session_);
                }
            } catch (...) {
                failure = std::current_exception();
            }
            busyThread_ = std::thread::id();
        }
        log_.flush();
        raiseInterrupt();
        if (failure) std::rethrow_exception(failure);
        if constexpr (!std::is_void_v<Result>) return std::move(*result);
    }

    LogBridge& log() { return log_; }

  private:
    // UsageError when closed, or when called from inside one of its own calls (a progress
    // callback): that thread holds the mutex already.
    void checkCallable() const;
    [[nodiscard]] static csesession::SessionError closedError();
    // For the library's progress reports of long runs: runs Python's signal handlers and stops the
    // run when one raised (Ctrl-C). GIL not held.
    bool keepRunning();
    // After a run stopped so: closes the session, then raises the handler's exception.
    void raiseInterrupt();
    [[nodiscard]] py::object deviceScan(csesession::Register reg, uint32_t device,
                                        const py::object& value, uint32_t bits, uint32_t retries);

    LogBridge log_;
    std::vector<uint32_t> irLengthsGiven_;            // irlen=, for diagnose
    std::optional<py::error_already_set> interrupt_;  // set by keepRunning, taken by raiseInterrupt
    std::unique_ptr<csesession::CableSession> session_;
    csesession::CallRetries calls_;  // under mutex_, as the session
    std::mutex mutex_;
    std::atomic<std::thread::id> busyThread_{};
};

}  // namespace csepython
