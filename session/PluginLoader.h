// SPDX-License-Identifier: Apache-2.0
// Loading the plug-in library at run time: dlopen on POSIX, LoadLibrary on Windows.
#pragma once

#include <string>

namespace csesession {

class PluginLibrary {
  public:
    PluginLibrary() = default;
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // False with the system's reason in error.
    [[nodiscard]] bool open(const std::string& path, std::string& error);
    void close();
    // The address of an export, or null. exportName is the plain name; argumentBytes is what the
    // 32-bit Windows decoration (_name@N) needs.
    [[nodiscard]] void* exportAddress(const char* exportName, unsigned argumentBytes) const;

  private:
    void* handle_ = nullptr;
};

// The plug-in's file name on this platform.
[[nodiscard]] std::string pluginFileName();

// The folder of the running executable (with a trailing separator), or "" when it cannot be found.
[[nodiscard]] std::string executableDirectory();

}  // namespace csesession
