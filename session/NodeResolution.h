// SPDX-License-Identifier: Apache-2.0
// The front end's host name, looked up before the plug-in tries it: an unknown name is a different
// problem from a front end that does not answer, and is reported at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace csesession {

// True when the node is a dotted address or a name that resolves to an IPv4 address.
[[nodiscard]] bool nodeResolves(const std::string& node);

// "HOST" or "HOST:PORT" into the host and the port it names. False with a reason for an IPv6
// literal (the link is IPv4) or a port that is not 1..65535.
[[nodiscard]] bool splitNode(const std::string& node, std::string& host,
                             std::optional<uint16_t>& port, std::string& error);

}  // namespace csesession
