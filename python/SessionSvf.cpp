// SPDX-License-Identifier: Apache-2.0
// Session.svf: the streaming SVF player of svf/ on the session's plug-in. Python is reached from
// inside the playback only with the GIL taken for the moment: progress calls, reads of a file
// object, and a look for pending signals (Ctrl-C) between statements.
#include <cerrno>
#include <chrono>
#include <istream>

#include "python/PythonErrors.h"
#include "python/PythonSession.h"
#include "python/SvfSource.h"
#include "svf/SvfPlayback.h"

namespace csepython {

namespace {

// How often the playback takes the GIL to let Python's signal handlers run.
constexpr auto kSignalLookInterval = std::chrono::milliseconds(20);

// What stops a playback from the Python side: a signal handler's exception (KeyboardInterrupt) or
// one of the progress callback or of the file object's read().
struct PythonStop {
    std::optional<py::error_already_set> error;
    bool interrupted = false;  // KeyboardInterrupt: the session is closed before it is raised
    std::chrono::steady_clock::time_point nextLook = std::chrono::steady_clock::now();

    bool requested(PythonFileBuffer* file) {
        if (error) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now < nextLook) return false;
        nextLook = now + kSignalLookInterval;
        py::gil_scoped_acquire acquire;
        if (file != nullptr && file->failure()) return true;
        if (PyErr_CheckSignals() != 0) take();
        return error.has_value();
    }

    void take() {  // GIL held, a Python error set
        error.emplace();
        interrupted = error->matches(PyExc_KeyboardInterrupt);
    }
};

py::object mismatchObject(const py::module_& types, const csesvf::Mismatch& mismatch) {
    return types.attr("Mismatch")(mismatch.file, mismatch.line, mismatch.command, mismatch.expected,
                                  mismatch.read, mismatch.mask, mismatch.firstBit,
                                  mismatch.playedAfter, mismatch.playedUpToLine);
}

}  // namespace

py::object PythonSession::svf(const py::object& source, bool keepGoing, const py::object& progress,
                              bool checkEach, uint32_t retries) {
    const bool isFile = py::hasattr(source, "read");
    std::string path;
    if (!isFile)
        path = py::str(py::module_::import("os").attr("fspath")(source)).cast<std::string>();
    std::optional<PythonFileBuffer> buffer;
    if (isFile) buffer.emplace(source);

    PythonStop stop;
    csesvf::SvfOptions options;
    options.keepGoing = keepGoing;
    options.checkEach = checkEach;
    options.retries = retries;
    options.onRepeat = [sink = log().sink()](const csesvf::Repetition& repetition) {
        sink(1, repetition.headline);
    };
    options.fileName =
        isFile ? py::str(py::getattr(source, "name", py::str("<file>"))).cast<std::string>() : path;
    options.stopRequested = [&] { return stop.requested(buffer ? &*buffer : nullptr); };
    if (!progress.is_none()) {
        options.progress = [&](uint64_t done, uint64_t total) {
            py::gil_scoped_acquire acquire;
            if (stop.error) return;
            try {
                log().flush();
                progress(done, total);
            } catch (py::error_already_set& error) {
                stop.error.emplace(std::move(error));
                stop.interrupted = stop.error->matches(PyExc_KeyboardInterrupt);
            }
        };
    }

    std::vector<std::string> pluginErrors;
    const csesvf::SvfResult result = run([&](csesession::CableSession& session) {
        (void)session.takePluginErrors();
        options.rawShifts = session.mergedShifts();
        options.irPathBits = session.irPathBits();
        csesvf::SvfResult played;
        if (isFile) {
            std::istream input(&*buffer);
            played = csesvf::playSvf(session.plugin(), input, options);
        } else {
            played = csesvf::playSvfFile(session.plugin(), path, options);
        }
        pluginErrors = session.takePluginErrors();
        calls_.noteUnknown();  // the file's own instructions, which no call here can load again
        if (played.outcome == csesvf::SvfResult::Outcome::kFailed) session.noteFailedCall();
        return played;
    });

    if (buffer && buffer->failure() && !stop.error) stop.error = std::move(buffer->failure());
    if (stop.error) {
        // Ctrl-C ends the session cleanly: unlock, close, disconnect, then the interrupt goes on.
        if (stop.interrupted) {
            try {
                close();
            } catch (const csesession::SessionError&) {
            }
        }
        stop.error->restore();
        throw py::error_already_set();
    }
    using Outcome = csesvf::SvfResult::Outcome;
    switch (result.outcome) {
        case Outcome::kUnreadable:
            if (result.systemError != 0) {
                // A path that cannot be opened is an OSError, as open() gives: FileNotFoundError,
                // PermissionError, IsADirectoryError.
                errno = result.systemError;
                PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
                throw py::error_already_set();
            }
            throw usageError(result.failure);
        case Outcome::kMalformed:
            throw usageError(result.failure);
        case Outcome::kFailed:
            throw csesession::SessionError(csesession::ErrorKind::kFailed, result.failure,
                                           std::move(pluginErrors));
        case Outcome::kStopped:  // only Python stops it, and that raised above
        case Outcome::kPassed:
        case Outcome::kMismatch:
            break;
    }
    const py::module_ types = py::module_::import("koraven_cse._types");
    py::list mismatches;
    for (const csesvf::Mismatch& mismatch : result.mismatches) {
        mismatches.append(mismatchObject(types, mismatch));
    }
    return types.attr("SvfResult")(csesvf::outcomeName(result.outcome), result.statements,
                                   result.scans, result.checks, result.mismatchCount, mismatches,
                                   result.repetitions);
}

}  // namespace csepython
