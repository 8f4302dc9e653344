// SPDX-License-Identifier: Apache-2.0
#include "python/PythonSession.h"

#include "python/BitValues.h"
#include "python/PluginLocation.h"
#include "python/PythonErrors.h"

namespace csepython {

namespace {

// The plug-in's link to the front end is process-wide: a second open would cut the first one's.
PythonSession* openSessionOfProcess = nullptr;

py::bytes newBytes(size_t size) {
    return py::reinterpret_steal<py::bytes>(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
}

}  // namespace

csesession::SessionOptions sessionOptions(const SessionArguments& arguments) {
    csesession::SessionOptions options;
    options.useFrontEnd = arguments.node.has_value() || arguments.port.has_value();
    if (arguments.node) options.node = *arguments.node;
    if (arguments.port) {
        if (*arguments.port < 1 || *arguments.port > 65535) {
            throw usageError("port must be 1..65535, not " + std::to_string(*arguments.port));
        }
        options.port = static_cast<uint16_t>(*arguments.port);
    }
    if (options.useFrontEnd && (arguments.simChain || !arguments.simBoardFaults.empty())) {
        throw usageError(std::string(arguments.simChain ? "sim_chain" : "sim_board_fault") +
                         " goes only with the embedded emulator, not with node or port");
    }
    options.libraryPath = arguments.lib ? *arguments.lib : defaultPluginPath();
    options.timeoutSeconds = arguments.timeout;
    options.packetLength = arguments.packlen;
    if (arguments.hostport) options.hostPort = static_cast<uint16_t>(*arguments.hostport);
    if (arguments.shifts) options.shifts = *arguments.shifts;
    if (arguments.simChain) options.simChain = *arguments.simChain;
    options.chainFolders = chainFolders();
    for (const std::string& fault : arguments.simBoardFaults) {
        options.simBoardFaults += (options.simBoardFaults.empty() ? "" : ",") + fault;
    }
    if (arguments.irlen) options.irLengths = *arguments.irlen;
    options.irLengthsName = "irlen";
    // A faulty board still opens, so that diagnose() can say what is wrong; the device list and
    // device-level calls then raise with the scan's problem. Given IR lengths are always checked.
    options.tolerateChainFaults = !arguments.irlen.has_value();
    return options;
}

PythonSession::PythonSession(const SessionArguments& arguments) {
    if (openSessionOfProcess != nullptr) {
        throw usageError(
            "another koraven_cse.Session is open in this process (the plug-in's link "
            "to the front end is process-wide): close it first");
    }
    csesession::SessionOptions options = sessionOptions(arguments);
    irLengthsGiven_ = options.irLengths;
    options.verbosity = log_.verbosity();
    options.log = log_.sink();
    options.progress = [this](uint64_t, uint64_t) { return keepRunning(); };
    // Repetitions are warnings of the module's logger, handed over with the plug-in's lines.
    calls_.setReport([sink = log_.sink()](const csesession::CallRepetition& repetition) {
        sink(1, repetition.headline);
    });
    openSessionOfProcess = this;  // taken before the GIL is let go: no second open meanwhile
    std::exception_ptr failure;
    {
        py::gil_scoped_release release;
        try {
            session_ = std::make_unique<csesession::CableSession>(options);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (failure) {
        openSessionOfProcess = nullptr;
        log_.flush();
        raiseInterrupt();
        std::rethrow_exception(failure);
    }
    try {
        log_.flush();
    } catch (...) {
        openSessionOfProcess = nullptr;
        throw;
    }
}

PythonSession::~PythonSession() {
    if (openSessionOfProcess == this) openSessionOfProcess = nullptr;
    if (!session_) return;
    py::gil_scoped_release release;  // the destructor finishes quietly: unlock, close, unload
    std::lock_guard<std::mutex> lock(mutex_);
    session_.reset();
}

void PythonSession::close() {
    if (openSessionOfProcess == this) openSessionOfProcess = nullptr;
    if (!session_) return;
    if (busyThread_.load() == std::this_thread::get_id()) {
        throw usageError("a Session cannot be closed from inside one of its own calls");
    }
    std::exception_ptr failure;
    {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(mutex_);
        std::unique_ptr<csesession::CableSession> session = std::move(session_);
        try {
            if (session) session->close();
        } catch (...) {
            failure = std::current_exception();
        }
    }
    log_.flush();
    if (failure) std::rethrow_exception(failure);
}

void PythonSession::closeOpenSession() {
    if (openSessionOfProcess == nullptr) return;
    try {
        openSessionOfProcess->close();
    } catch (...) {
        // At exit nobody is left to tell; the front end has been let go as far as it would.
    }
}

bool PythonSession::keepRunning() {
    py::gil_scoped_acquire acquire;
    if (PyErr_CheckSignals() == 0) return true;
    interrupt_.emplace();
    return false;
}

void PythonSession::raiseInterrupt() {
    if (!interrupt_) return;
    py::error_already_set error = std::move(*interrupt_);
    interrupt_.reset();
    if (error.matches(PyExc_KeyboardInterrupt)) {
        try {
            close();  // Ctrl-C ends the session cleanly: unlock, close, disconnect
        } catch (...) {
            // The interrupt is what the caller is told about.
        }
    }
    error.restore();
    throw py::error_already_set();
}

void PythonSession::checkCallable() const {
    if (!session_) throw closedError();
    if (busyThread_.load() == std::this_thread::get_id()) {
        throw usageError(
            "the Session is busy in this thread: it cannot be used from inside one "
            "of its own calls (a progress callback)");
    }
}

csesession::SessionError PythonSession::closedError() {
    return usageError("the Session is closed");
}

std::vector<PyDevice> PythonSession::devices() {
    return run([](csesession::CableSession& session) {
        if (!session.scanProblem().empty()) {
            throw csesession::SessionError(csesession::ErrorKind::kFailed, session.scanProblem());
        }
        std::vector<PyDevice> devices;
        for (const csesession::Device& device : session.devices()) {
            devices.push_back(describeDevice(device));
        }
        return devices;
    });
}

uint32_t PythonSession::idcode(uint32_t device, uint32_t retries) {
    return run([&](csesession::CableSession& session) {
        return calls_.readIdcode(session, device, retries,
                                 "idcode(" + std::to_string(device) + ")");
    });
}

py::object PythonSession::irscan(uint32_t device, const py::object& value, uint32_t retries) {
    // The IR length decides the bit count; an unknown one (or device) is left to the library to
    // refuse, with its own reason.
    const uint32_t bits = run([device](csesession::CableSession& session) -> uint32_t {
        const auto& devices = session.devices();
        if (device >= devices.size() || !devices[device].irLength) return 0;
        return *devices[device].irLength;
    });
    if (bits == 0) {
        run([device](csesession::CableSession& session) {
            (void)session.deviceScan(csesession::Register::kIr, device, {}, 0);
        });
    }
    return deviceScan(csesession::Register::kIr, device, value, bits, retries);
}

py::object PythonSession::drscan(uint32_t device, const py::object& value,
                                 std::optional<uint32_t> bits, uint32_t retries) {
    if (!bits) {
        if (!isBytesLike(value)) throw usageError("drscan of an int needs bits");
        bits = bitCountOf(value);
    }
    return deviceScan(csesession::Register::kDr, device, value, *bits, retries);
}

py::object PythonSession::deviceScan(csesession::Register reg, uint32_t device,
                                     const py::object& value, uint32_t bits, uint32_t retries) {
    const bool bytes = isBytesLike(value);
    std::vector<uint8_t> tdi;
    if (bytes) {
        const BitsView view(value, bits);
        tdi.assign(view.data(), view.data() + view.size());
    } else {
        tdi = intToBits(intValue(value), bits);
    }
    const std::string label = std::string(reg == csesession::Register::kIr ? "irscan" : "drscan") +
                              " of device " + std::to_string(device) + " (" + std::to_string(bits) +
                              " bits)";
    const std::vector<uint8_t> tdo = run([&](csesession::CableSession& session) {
        return calls_.deviceScan(session, reg, device, tdi, bits, retries, label);
    });
    if (bytes) return py::bytes(reinterpret_cast<const char*>(tdo.data()), tdo.size());
    return bitsToInt(tdo.data(), tdo.size());
}

py::object PythonSession::chainScan(csesession::Register reg, const py::object& value,
                                    std::optional<uint32_t> bits, uint32_t retries) {
    const auto label = [reg](uint32_t count) {
        return std::string(reg == csesession::Register::kIr ? "irscan_chain" : "drscan_chain") +
               " (" + std::to_string(count) + " bits)";
    };
    if (isBytesLike(value)) {
        // In place both ways: TDI read from the caller's buffer, TDO written into the new bytes.
        const uint32_t count = bits ? *bits : bitCountOf(value);
        const BitsView view(value, count);
        py::bytes tdo = newBytes(view.size());
        auto* out = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(tdo.ptr()));
        run([&](csesession::CableSession& session) {
            calls_.chainScan(session, reg, view.data(), out, count,
                             CsePluginInterface::CSEJTAG_RUN_TEST_IDLE, retries, label(count));
        });
        return std::move(tdo);
    }
    if (!bits) throw usageError("a chain scan of an int needs bits");
    const std::vector<uint8_t> tdi = intToBits(intValue(value), *bits);
    std::vector<uint8_t> tdo(tdi.size(), 0);
    run([&](csesession::CableSession& session) {
        calls_.chainScan(session, reg, tdi.data(), tdo.data(), *bits,
                         CsePluginInterface::CSEJTAG_RUN_TEST_IDLE, retries, label(*bits));
    });
    return bitsToInt(tdo.data(), tdo.size());
}

std::string PythonSession::state(const std::string& name, uint32_t clocks, uint32_t waitUs,
                                 uint32_t retries) {
    const auto goal = csesession::parseTapState(name);
    if (!goal) {
        throw usageError("unknown TAP state '" + name +
                         "' (e.g. RUN_TEST_IDLE, SHIFT_DR, PAUSE_IR, DRPAUSE)");
    }
    const auto reached = run([&](csesession::CableSession& session) {
        return calls_.navigate(session, *goal, clocks,
                               waitUs == 0 ? std::nullopt : std::optional<uint32_t>(waitUs),
                               retries, "state(" + csesession::tapStateName(*goal) + ")");
    });
    return csesession::tapStateName(reached);
}

std::string PythonSession::tapState() {
    return csesession::tapStateName(
        run([](csesession::CableSession& session) { return session.tapState(); }));
}

void PythonSession::reset() {
    run([this](csesession::CableSession& session) {
        calls_.noteReset();
        session.resetTap();
    });
}

std::string PythonSession::frontEnd() {
    return run([](csesession::CableSession& session) { return session.frontEnd(); });
}

bool PythonSession::embedded() {
    return run([](csesession::CableSession& session) { return session.embedded(); });
}

std::optional<std::string> PythonSession::scanProblem() {
    const std::string problem =
        run([](csesession::CableSession& session) { return session.scanProblem(); });
    return problem.empty() ? std::nullopt : std::optional<std::string>(problem);
}

std::optional<std::string> PythonSession::irLengthProblem() {
    const std::string problem =
        run([](csesession::CableSession& session) { return session.irLengthProblem(); });
    return problem.empty() ? std::nullopt : std::optional<std::string>(problem);
}

}  // namespace csepython
