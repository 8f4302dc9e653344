// SPDX-License-Identifier: Apache-2.0
// Plug-in log lines to Python's logging (logger "koraven_cse"). The plug-in writes them while the
// GIL is released, so they are kept here and handed to the logger after the call, in order, with
// the GIL held: no Python code ever runs inside a plug-in call, and a handler that raises or calls
// back into the session cannot break one.
#pragma once

#include <pybind11/pybind11.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "session/CableSession.h"

namespace csepython {

namespace py = pybind11;

// Plug-in levels 1 (errors and warnings) .. 4 (traces) as logging levels: WARNING, INFO, DEBUG, 5.
[[nodiscard]] int loggingLevel(int pluginLevel);

class LogBridge {
  public:
    LogBridge();  // takes the logger; GIL held

    // The plug-in levels the logger shows now, for SessionOptions::verbosity (GIL held).
    [[nodiscard]] int verbosity() const;
    // The sink for SessionOptions::log; callable without the GIL.
    [[nodiscard]] csesession::LogSink sink();
    // Hands the kept lines to the logger (GIL held). A handler's exception propagates.
    void flush();

  private:
    py::object logger_;
    std::mutex mutex_;
    std::vector<std::pair<int, std::string>> lines_;
};

}  // namespace csepython
