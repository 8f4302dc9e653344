// SPDX-License-Identifier: Apache-2.0
// Which plug-in a Session loads when lib= is not given, and where sim_chain= names are looked for:
// relative to this module's own file first, so that the build tree and an installed (even moved)
// tree each use their own plug-in and chains, whichever interpreter loads the module.
#pragma once

#include <string>
#include <vector>

namespace csepython {

// Empty when CSE_HOST_PLUGIN is set (the session library takes it), else the first of: beside the
// module's package folder in the build tree (../../bin/), the installed plug-in folder relative to
// the installed module. Empty as well when none exists: the library's own search then says where it
// looked.
[[nodiscard]] std::string defaultPluginPath();

// The folders an installed chain name is looked for in: the build tree's, the installed tree's
// relative to the module, then those of Debian's prefixes (/usr, /usr/local).
[[nodiscard]] std::vector<std::string> chainFolders();

}  // namespace csepython
