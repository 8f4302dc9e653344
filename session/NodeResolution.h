// The front end's host name, looked up before the plug-in tries it: an unknown name is a different
// problem from a front end that does not answer, and is reported at once.
#pragma once

#include <string>

namespace csesession {

// True when the node is a dotted address or a name that resolves to an IPv4 address.
[[nodiscard]] bool nodeResolves(const std::string& node);

}  // namespace csesession
