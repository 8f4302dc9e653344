// SPDX-License-Identifier: Apache-2.0
// The exceptions of the module: every failure of the session library (csesession::SessionError)
// becomes koraven_cse.UsageError, LinkError or CseError with the reason as its message and its
// `reason` attribute. The classes live in koraven_cse/_errors.py.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "session/CableSession.h"

namespace csepython {

// A mistake of the caller's, thrown and translated like the library's own usage errors.
[[nodiscard]] csesession::SessionError usageError(const std::string& reason);

// Installs the translator; call once from the module's initialisation.
void registerErrorTranslation();

}  // namespace csepython
