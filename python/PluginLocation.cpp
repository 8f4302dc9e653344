// SPDX-License-Identifier: Apache-2.0
#include "python/PluginLocation.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cstdlib>

#ifndef KRV_PLUGIN_FILE
#define KRV_PLUGIN_FILE "KoravenCsePlugin_14.so"
#endif
#ifndef KRV_CHAIN_DIR_FROM_PACKAGE
#define KRV_CHAIN_DIR_FROM_PACKAGE "../../../../share/quorbit-sim"
#endif
#ifndef KRV_PLUGIN_DIR_FROM_PYTHONDIR
#define KRV_PLUGIN_DIR_FROM_PYTHONDIR "../../x86_64-linux-gnu/koraven-cse-plugin"
#endif

namespace csepython {

namespace {

// The folder of the package (koraven_cse/), with a trailing separator.
std::string packageDirectory() {
    Dl_info info = {};
    if (dladdr(reinterpret_cast<void*>(&defaultPluginPath), &info) == 0 ||
        info.dli_fname == nullptr) {
        return {};
    }
    const std::string file = info.dli_fname;
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? std::string() : file.substr(0, slash + 1);
}

bool exists(const std::string& path) {
    struct stat status = {};
    return stat(path.c_str(), &status) == 0;
}

}  // namespace

std::string defaultPluginPath() {
    const char* variable = std::getenv("CSE_HOST_PLUGIN");
    if (variable != nullptr && *variable != '\0') return {};
    const std::string package = packageDirectory();
    if (package.empty()) return {};
    // The build tree: <build>/python/koraven_cse/ and the plug-in in <build>/bin/.
    for (const std::string& candidate :
         {package + "../../bin/" KRV_PLUGIN_FILE,
          package + "../" KRV_PLUGIN_DIR_FROM_PYTHONDIR "/" KRV_PLUGIN_FILE}) {
        if (exists(candidate)) return candidate;
    }
    return {};
}

std::vector<std::string> chainFolders() {
    std::vector<std::string> folders;
    const std::string package = packageDirectory();
    // The build tree: <build>/python/koraven_cse/ and the chains in <build>/share/quorbit-sim/.
    if (!package.empty()) {
        if (exists(package + "../../share/quorbit-sim"))
            folders.push_back(package + "../../share/quorbit-sim");
        folders.push_back(package + KRV_CHAIN_DIR_FROM_PACKAGE);
    }
    folders.push_back("/usr/share/quorbit-sim");
    folders.push_back("/usr/local/share/quorbit-sim");
    return folders;
}

}  // namespace csepython
