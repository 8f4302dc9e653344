// SPDX-License-Identifier: Apache-2.0
#include "python/PythonErrors.h"

#include "session/ScanQueue.h"

namespace csepython {

namespace py = pybind11;

csesession::SessionError usageError(const std::string& reason) {
    return {csesession::ErrorKind::kUsage, reason};
}

namespace {

const char* className(csesession::ErrorKind kind) {
    switch (kind) {
        case csesession::ErrorKind::kUsage:
            return "UsageError";
        case csesession::ErrorKind::kLink:
            return "LinkError";
        case csesession::ErrorKind::kFailed:
            break;
    }
    return "CseError";
}

void raise(const csesession::SessionError& error) {
    const py::object errors = py::module_::import("koraven_cse._errors");
    const py::object type = errors.attr(className(error.kind()));
    const py::object exception = type(error.what());
    // A queue's failure names the first item that failed.
    if (const auto* queued = dynamic_cast<const csesession::QueueError*>(&error))
        exception.attr("item") = queued->item();
    PyErr_SetObject(type.ptr(), exception.ptr());
}

}  // namespace

void registerErrorTranslation() {
    py::register_exception_translator([](std::exception_ptr pending) {
        try {
            if (pending) std::rethrow_exception(pending);
        } catch (const csesession::SessionError& error) {
            raise(error);
        }
    });
}

}  // namespace csepython
