// SPDX-License-Identifier: Apache-2.0
// Which plug-in a Session loads when lib= is not given: the file CSE_HOST_PLUGIN names (the session
// library reads it), else the plug-in found relative to this module's own file, so that the build
// tree and an installed (even moved) tree each use their own plug-in.
#pragma once

#include <string>

namespace csepython {

// Empty when CSE_HOST_PLUGIN is set (the session library takes it), else the first of: beside the
// module's package folder in the build tree (../../bin/), the installed plug-in folder relative to
// the installed module. Empty as well when none exists: the library's own search then says where it
// looked.
[[nodiscard]] std::string defaultPluginPath();

}  // namespace csepython
