// SPDX-License-Identifier: Apache-2.0
// koraven_cse._core: the extension behind the koraven_cse package (koraven_cse/__init__.py).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <iterator>
#include <utility>

#include "krv/ProjectVersion.h"
#include "python/PythonErrors.h"
#include "python/PythonSession.h"
#include "python/SessionQueue.h"

namespace py = pybind11;
using csepython::PythonQueue;
using csepython::PythonSession;
using csepython::QueuedResult;
using csepython::SessionArguments;

namespace {

// An index, count or port from Python: any int-like object. Another type is a TypeError, as
// Python's own functions give; a negative or too large number is the caller's mistake
// (UsageError) with the argument's name, not pybind11's list of signatures.
uint32_t unsignedArgument(const py::handle& value, const char* name, uint64_t maximum = UINT32_MAX,
                          uint64_t minimum = 0) {
    PyObject* index = PyNumber_Index(value.ptr());
    if (index == nullptr) {
        PyErr_Clear();
        throw py::type_error(std::string(name) + " must be an int, not " +
                             std::string(py::str(value.get_type().attr("__name__"))));
    }
    const py::int_ number = py::reinterpret_steal<py::int_>(index);
    if (number < py::int_(minimum) || number > py::int_(maximum)) {
        throw csepython::usageError(std::string(name) + " must be " + std::to_string(minimum) +
                                    ".." + std::to_string(maximum) + ", not " +
                                    py::repr(number).cast<std::string>());
    }
    return number.cast<uint32_t>();
}

std::optional<uint32_t> optionalUnsigned(const py::object& value, const char* name,
                                         uint64_t maximum = UINT32_MAX, uint64_t minimum = 0) {
    if (value.is_none()) return std::nullopt;
    return unsignedArgument(value, name, maximum, minimum);
}

// Repetitions after a failed call, as cse-host's --retries takes them.
constexpr uint64_t kMaxRetries = 100;

uint32_t retriesArgument(const py::handle& value) {
    return unsignedArgument(value, "retries", kMaxRetries);
}

std::optional<std::string> pathArgument(const py::object& value) {
    if (value.is_none()) return std::nullopt;
    return py::str(py::module_::import("os").attr("fspath")(value)).cast<std::string>();
}

std::vector<std::string> faultsArgument(const py::object& value) {
    if (value.is_none()) return {};
    if (py::isinstance<py::str>(value)) return {value.cast<std::string>()};
    return value.cast<std::vector<std::string>>();
}

std::optional<std::vector<uint32_t>> irlenArgument(const py::object& value) {
    if (value.is_none()) return std::nullopt;
    std::vector<uint32_t> lengths;
    if (py::isinstance<py::str>(value)) {
        for (const py::handle& part : value.attr("split")(",")) {
            const py::str text = part.attr("strip")();
            try {
                lengths.push_back(unsignedArgument(py::int_(text), "an IR length"));
            } catch (const py::error_already_set&) {
                throw csepython::usageError("irlen \"" + value.cast<std::string>() +
                                            "\" is not a list of numbers such as \"6,8,4\"");
            }
        }
        return lengths;
    }
    for (const py::handle& length : py::iter(value)) {
        lengths.push_back(unsignedArgument(length, "an IR length"));
    }
    return lengths;
}

std::unique_ptr<PythonSession> openSession(const std::optional<std::string>& node,
                                           const py::object& port, const py::object& lib,
                                           const py::object& irlen, const py::object& timeout,
                                           const py::object& packlen, const py::object& hostport,
                                           const py::object& simChain,
                                           const py::object& simBoardFault,
                                           const std::optional<std::string>& shifts) {
    SessionArguments arguments;
    arguments.node = node;
    arguments.port = optionalUnsigned(port, "port", 65535, 1);
    arguments.lib = pathArgument(lib);
    arguments.irlen = irlenArgument(irlen);
    arguments.timeout = optionalUnsigned(timeout, "timeout");
    arguments.packlen = optionalUnsigned(packlen, "packlen");
    arguments.hostport = optionalUnsigned(hostport, "hostport", 65535);
    arguments.simChain = pathArgument(simChain);
    arguments.simBoardFaults = faultsArgument(simBoardFault);
    arguments.shifts = shifts;
    return std::make_unique<PythonSession>(arguments);
}

constexpr const char* kSessionKeywords[] = {
    "node",    "port",     "lib",       "irlen",           "timeout",
    "packlen", "hostport", "sim_chain", "sim_board_fault", "shifts"};

std::string typeName(const py::handle& value) {
    return py::str(value.get_type().attr("__name__")).cast<std::string>();
}

// Reached only when the arguments fit the signature above in no way: says which argument is wrong
// and what is valid, as Python's own functions do, instead of pybind11's list of signatures.
[[noreturn]] void refuseSessionArguments(const py::args& args, const py::kwargs& kwargs) {
    std::string valid;
    for (const char* keyword : kSessionKeywords)
        valid += (valid.empty() ? "" : ", ") + std::string(keyword);
    const size_t count = std::size(kSessionKeywords);
    if (args.size() > count) {
        throw py::type_error("Session() takes at most " + std::to_string(count) + " arguments (" +
                             std::to_string(args.size()) + " given): " + valid);
    }
    std::vector<std::pair<std::string, py::handle>> given;
    for (size_t i = 0; i < args.size(); ++i) given.emplace_back(kSessionKeywords[i], args[i]);
    for (const auto& item : kwargs) {
        const std::string name = py::str(item.first).cast<std::string>();
        const auto* known =
            std::find(std::begin(kSessionKeywords), std::end(kSessionKeywords), name);
        if (known == std::end(kSessionKeywords)) {
            throw py::type_error("Session() got an unexpected keyword argument '" + name +
                                 "'; the valid ones: " + valid);
        }
        if (static_cast<size_t>(known - std::begin(kSessionKeywords)) < args.size())
            throw py::type_error("Session() got multiple values for argument '" + name + "'");
        given.emplace_back(name, item.second);
    }
    for (const auto& [name, value] : given) {
        if ((name == "node" || name == "shifts") && !value.is_none() &&
            !py::isinstance<py::str>(value))
            throw py::type_error(name + " must be a str, not " + typeName(value));
    }
    throw py::type_error("Session() does not take these arguments; the valid ones: " + valid);
}

py::object deviceObject(const py::module_& types, const csepython::PyDevice& device) {
    return types.attr("Device")(device.index, device.idcode, device.irlen, device.manufacturer,
                                device.part, device.version, device.openocdPosition, device.bank,
                                device.id);
}

constexpr const char* kSessionDoc =
    R"(One use of the JTAG cable: the plug-in loaded, the target opened,
locked and its chain scanned, until close() (or the end of a ``with`` block).

    Session(node=None, port=None, lib=None, irlen=None, timeout=None, packlen=None,
            hostport=None, sim_chain=None, sim_board_fault=None, shifts=None)

Without node and port the session starts quorbit-sim inside the process (127.0.0.1, a free port,
the demo chain or ``sim_chain``, with ``sim_board_fault`` kinds such as "tdo-stuck-1"). With
``node`` (port 20000 unless given) or ``port`` (node "localhost") it opens the debugger's front end
there. ``lib`` is the plug-in file; by default CSE_HOST_PLUGIN, else the plug-in installed beside
this module. ``irlen`` gives the IR lengths, device 0 (nearest TDI) first, as a list or "6,8,4";
they are checked against the measured IR path. ``timeout`` is the link's reply time-out in seconds
(1..3600), ``packlen`` the packet length it offers (16..1472; the front end's accept decides),
``hostport`` its local UDP port (for a firewall rule; default: any free port). ``shifts="merged"``
sends every chain shift, SVF statement and navigation with extra clocks as one request instead of
two or three (see the "merged-shifts" check of diagnose()); "split", the default, keeps the front
end's original sequence.

A board whose chain scan fails still opens, so that diagnose() can say what is wrong; ``devices``
and the device-level calls then raise CseError with the reason. One Session is open per process at
a time. Every call lets other Python threads run while the plug-in works. Ctrl-C is taken between
plug-in calls: during svf() or a scan or clock run of more than 4 Mbit it ends the session (unlock,
close, disconnect) before the KeyboardInterrupt goes on; ``with`` and the interpreter's exit close
a session on every other way.

Values are ints of any size (bit 0 is shifted first) or, for long streams, bytes-like objects
(bit k in bit k % 8 of byte k // 8), returned in the same kind. TAP states are named as cse-host
prints them: "RUN_TEST_IDLE", "PAUSE_DR", ...

Raises UsageError (also a ValueError) for wrong arguments, such as a negative device number or
bit count; TypeError for an argument of the wrong type; LinkError when the front end does not
answer; CseError when the plug-in fails.)";

constexpr const char* kQueueDoc =
    R"(Scans and navigations of a Session sent together: Session.queue() gives one.

    with s.queue() as q:
        q.irscan(1, 0x22)
        reads = [q.drscan(1, 0, 24) for _ in range(1000)]
    print(reads[0].value)

The calls take the arguments of the Session's and return Queued results at once; the queue runs at
the end of the ``with`` block (or at run()), where the items go to the cable as few raw shifts as
their lengths allow, and the results are filled. A block that raises sends nothing. A failure
raises CseError with ``item``, the index of the first item that failed; the items before it were
carried out and keep their results. The session's rules hold: a drscan needs the instructions an
irscan of the queue, or before it, loaded.)";

constexpr const char* kQueuedDoc =
    "The result of one item of a Queue: ``value`` once the queue has run, ``done``, ``index``.";

}  // namespace

PYBIND11_MODULE(_core, m) {
    m.doc() = "The native part of koraven_cse; use the koraven_cse package.";
    csepython::registerErrorTranslation();
    m.attr("__version__") = KRV_PROJECT_VERSION;
    m.attr("git_commit") = KRV_GIT_COMMIT;
    const py::module_ types = py::module_::import("koraven_cse._types");

    py::class_<PythonSession> session(m, "Session", kSessionDoc);
    session
        .def(py::init(&openSession), py::arg("node") = py::none(), py::arg("port") = py::none(),
             py::arg("lib") = py::none(), py::arg("irlen") = py::none(),
             py::arg("timeout") = py::none(), py::arg("packlen") = py::none(),
             py::arg("hostport") = py::none(), py::arg("sim_chain") = py::none(),
             py::arg("sim_board_fault") = py::none(), py::arg("shifts") = py::none())
        .def(py::init(
            [](const py::args& args, const py::kwargs& kwargs) -> std::unique_ptr<PythonSession> {
                refuseSessionArguments(args, kwargs);
            }))
        .def("__enter__", [](py::object self) { return self; })
        .def(
            "__exit__",
            [](PythonSession& self, const py::object&, const py::object&, const py::object&) {
                self.close();
                return false;
            },
            "Closes the session (unlock, close, disconnect), also when the block raised.")
        .def("close", &PythonSession::close,
             "Unlocks, closes and disconnects; the session cannot be used afterwards. Calling it "
             "again does nothing. Raises CseError when releasing the TAP on the debugger failed.")
        .def_property_readonly("closed", &PythonSession::closed, "True once closed.")
        .def_property_readonly(
            "devices",
            [types](PythonSession& self) {
                py::list list;
                for (const auto& device : self.devices()) list.append(deviceObject(types, device));
                return list;
            },
            "The devices of the chain as a list of Device, device 0 nearest TDI.")
        .def_property_readonly("front_end", &PythonSession::frontEnd,
                               "\"HOST:PORT\" of the front end (or the embedded emulator).")
        .def_property_readonly("embedded", &PythonSession::embedded,
                               "True when the session runs against its own quorbit-sim.")
        .def_property_readonly("scan_problem", &PythonSession::scanProblem,
                               "Why the device list cannot be trusted, or None.")
        .def_property_readonly("ir_length_problem", &PythonSession::irLengthProblem,
                               "Why the IR lengths are unknown, or None.")
        .def(
            "idcode",
            [](PythonSession& self, const py::object& dev, const py::object& retries) {
                return self.idcode(unsignedArgument(dev, "dev"), retriesArgument(retries));
            },
            py::arg("dev"), py::kw_only(), py::arg("retries") = 0,
            "Resets the TAP and reads the IDCODE of device ``dev`` (0 = nearest TDI); returns it "
            "as an int. CseError for a device without an IDCODE.")
        .def(
            "irscan",
            [](PythonSession& self, const py::object& dev, const py::object& value,
               const py::object& retries) {
                return self.irscan(unsignedArgument(dev, "dev"), value, retriesArgument(retries));
            },
            py::arg("dev"), py::arg("value"), py::kw_only(), py::arg("retries") = 0,
            "Shifts ``value`` into the IR of device ``dev`` (as many bits as its IR length), every "
            "other device in BYPASS; returns the captured bits. Ends in Run-Test/Idle. "
            "``retries``: after a failed call, load the instruction last loaded again (an "
            "irscan, or a TAP reset) and make the call again, at most that many times, each "
            "logged as a warning.")
        .def(
            "drscan",
            [](PythonSession& self, const py::object& dev, const py::object& value,
               const py::object& bits, const py::object& retries) {
                return self.drscan(unsignedArgument(dev, "dev"), value,
                                   optionalUnsigned(bits, "bits"), retriesArgument(retries));
            },
            py::arg("dev"), py::arg("value"), py::arg("bits") = py::none(), py::kw_only(),
            py::arg("retries") = 0,
            "Shifts ``bits`` bits of ``value`` through the DR of device ``dev``, one bypass bit "
            "for each other device; returns the captured bits. Refused until an irscan has put "
            "the others in BYPASS (after a reset they present their IDCODEs). ``bits`` defaults "
            "to all bits of a bytes value; ``retries`` as for irscan.")
        .def(
            "irscan_chain",
            [](PythonSession& self, const py::object& value, const py::object& bits,
               const py::object& retries) {
                return self.chainScan(csesession::Register::kIr, value,
                                      optionalUnsigned(bits, "bits"), retriesArgument(retries));
            },
            py::arg("value"), py::arg("bits") = py::none(), py::kw_only(), py::arg("retries") = 0,
            "Shifts ``bits`` bits of ``value`` through the whole IR path (at most 122,816); "
            "returns the captured bits, as int or bytes like ``value``.")
        .def(
            "drscan_chain",
            [](PythonSession& self, const py::object& value, const py::object& bits,
               const py::object& retries) {
                return self.chainScan(csesession::Register::kDr, value,
                                      optionalUnsigned(bits, "bits"), retriesArgument(retries));
            },
            py::arg("value"), py::arg("bits") = py::none(), py::kw_only(), py::arg("retries") = 0,
            "Shifts ``bits`` bits of ``value`` through the whole DR path; returns the captured "
            "bits, as int or bytes like ``value``. Bytes are read and written in place: one copy "
            "each way, made by the plug-in.")
        .def(
            "state",
            [](PythonSession& self, const std::string& name, const py::object& clocks,
               const py::object& waitUs, const py::object& retries) {
                return self.state(name, unsignedArgument(clocks, "clocks"),
                                  unsignedArgument(waitUs, "wait_us"), retriesArgument(retries));
            },
            py::arg("name"), py::arg("clocks") = 0, py::arg("wait_us") = 0, py::kw_only(),
            py::arg("retries") = 0,
            "Moves the TAP to ``name`` (\"PAUSE_DR\", \"CSEJTAG_PAUSE_DR\", \"Pause-DR\", "
            "\"DRPAUSE\", \"IDLE\", \"RESET\", ... in any case), clocks ``clocks`` more cycles "
            "there and waits ``wait_us`` microseconds; returns the state reached as cse-host "
            "prints it, e.g. \"PAUSE_DR\".")
        .def_property_readonly("tap_state", &PythonSession::tapState,
                               "The TAP state the plug-in records, e.g. \"RUN_TEST_IDLE\".")
        .def("reset", &PythonSession::reset,
             "TMS reset, then Run-Test/Idle: every device selects IDCODE (or BYPASS).")
        .def(
            "svf",
            [](PythonSession& self, const py::object& source, bool keepGoing,
               const py::object& progress, bool checkEach, const py::object& retries) {
                return self.svf(source, keepGoing, progress, checkEach, retriesArgument(retries));
            },
            py::arg("path_or_file"), py::arg("keep_going") = false,
            py::arg("progress") = py::none(), py::kw_only(), py::arg("check_each") = false,
            py::arg("retries") = 0,
            "Plays an SVF file (a path, or a file object opened in text or binary mode) through "
            "the whole chain and checks every TDO; returns an SvfResult. ``keep_going`` plays on "
            "after a mismatch and lists every one. ``progress(bytes_done, bytes_total)`` is "
            "called now and then (bytes_total is 0 when unknown); an exception from it stops the "
            "file and is raised. Raises FileNotFoundError (or another OSError) for a path that "
            "cannot be opened, UsageError for a malformed file (what came before it has been "
            "played), CseError when the plug-in fails. With shifts=\"merged\" statements are "
            "queued into one raw shift and checked when its TDO is back (a mismatch's "
            "``played_after`` says how many statements after it were played); ``check_each`` "
            "checks each scan before the next statement. ``retries``: after a failed call, "
            "load the last SIR again and play the statement (or queue) again, at most that "
            "many times, each logged as a warning.")
        .def(
            "queue",
            [](py::object self, const py::object& retries) {
                return std::make_shared<PythonQueue>(self, retriesArgument(retries));
            },
            py::kw_only(), py::arg("retries") = 0,
            "A Queue of scans and navigations of this session, sent together when it runs (at "
            "the end of its ``with`` block) as few raw shifts as their lengths allow: one round "
            "trip for a block of up to 61,408 clocks instead of one per call. Its calls take the "
            "arguments of the session's and return Queued results, filled when the queue has "
            "run. ``retries`` as for the scans: a failed raw shift is sent again from its start "
            "after the instruction in effect there is loaded again.")
        .def("diagnose", &PythonSession::diagnose,
             "Board bring-up checks (tdo, device-count, ir-length, idcode, link), each a Check "
             "with its verdict (\"ok\", \"warning\", \"fault\"), reason and figures (counts as "
             "int, times and rates as float).")
        .def("__repr__", [](PythonSession& self) {
            return self.closed() ? std::string("<koraven_cse.Session closed>")
                                 : "<koraven_cse.Session on " + self.frontEnd() + ">";
        });
    session.attr("__module__") = "koraven_cse";

    py::class_<QueuedResult> queued(m, "Queued", kQueuedDoc);
    queued
        .def_property_readonly(
            "value", [](const QueuedResult& self) { return self.queue->value(self.index); },
            "The captured bits (int or bytes, as the value given) or the state reached; "
            "UsageError before the queue has run, CseError when it failed before this item.")
        .def_property_readonly(
            "done", [](const QueuedResult& self) { return self.queue->done(self.index); },
            "True once the item was carried out.")
        .def_readonly("index", &QueuedResult::index, "The item's place in its queue, from 0.")
        .def("__repr__", [](const QueuedResult& self) {
            return "<koraven_cse.Queued item " + std::to_string(self.index) +
                   (self.queue->done(self.index) ? " done>" : ">");
        });
    queued.attr("__module__") = "koraven_cse";

    py::class_<PythonQueue, std::shared_ptr<PythonQueue>> queue(m, "Queue", kQueueDoc);
    queue.def("__enter__", [](py::object self) { return self; })
        .def(
            "__exit__",
            [](PythonQueue& self, const py::object& type, const py::object&, const py::object&) {
                if (type.is_none()) {
                    self.run();
                } else {
                    self.discard();
                }
                return false;
            },
            "Runs the queue, unless the block raised (then nothing is sent).")
        .def("run", &PythonQueue::run,
             "Sends the queued items; CseError (``item``: the first that failed) when one "
             "failed, after the items before it were carried out. Once only.")
        .def("__len__", &PythonQueue::size)
        .def(
            "irscan",
            [](const std::shared_ptr<PythonQueue>& self, const py::object& dev,
               const py::object& value) {
                return QueuedResult{self, self->irscan(unsignedArgument(dev, "dev"), value)};
            },
            py::arg("dev"), py::arg("value"), "Session.irscan, queued.")
        .def(
            "drscan",
            [](const std::shared_ptr<PythonQueue>& self, const py::object& dev,
               const py::object& value, const py::object& bits) {
                return QueuedResult{self, self->drscan(unsignedArgument(dev, "dev"), value,
                                                       optionalUnsigned(bits, "bits"))};
            },
            py::arg("dev"), py::arg("value"), py::arg("bits") = py::none(),
            "Session.drscan, queued: refused when the queue runs unless an irscan (of the queue "
            "or before it) put the others in BYPASS.")
        .def(
            "irscan_chain",
            [](const std::shared_ptr<PythonQueue>& self, const py::object& value,
               const py::object& bits) {
                return QueuedResult{self, self->chainScan(csesession::Register::kIr, value,
                                                          optionalUnsigned(bits, "bits"))};
            },
            py::arg("value"), py::arg("bits") = py::none(), "Session.irscan_chain, queued.")
        .def(
            "drscan_chain",
            [](const std::shared_ptr<PythonQueue>& self, const py::object& value,
               const py::object& bits) {
                return QueuedResult{self, self->chainScan(csesession::Register::kDr, value,
                                                          optionalUnsigned(bits, "bits"))};
            },
            py::arg("value"), py::arg("bits") = py::none(), "Session.drscan_chain, queued.")
        .def(
            "state",
            [](const std::shared_ptr<PythonQueue>& self, const std::string& name,
               const py::object& clocks, const py::object& waitUs) {
                return QueuedResult{self, self->state(name, unsignedArgument(clocks, "clocks"),
                                                      unsignedArgument(waitUs, "wait_us"))};
            },
            py::arg("name"), py::arg("clocks") = 0, py::arg("wait_us") = 0,
            "Session.state, queued; a wait is made on its own, between the raw shifts before "
            "and after it.");
    queue.attr("__module__") = "koraven_cse";

    py::module_::import("atexit").attr("register")(
        py::cpp_function([] { PythonSession::closeOpenSession(); }));
}
