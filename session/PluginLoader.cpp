// SPDX-License-Identifier: Apache-2.0
#include "session/PluginLoader.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#endif

namespace csesession {

#if defined(_WIN32)

namespace {

// Windows' own text for an error number (126: the module or one it needs is missing), so that
// the number is not all the user gets. Its inserts ("%1 is not a valid Win32 application") are
// left unfilled by the call; they stand for the file, so the file's name goes there.
std::string systemMessage(DWORD code, const std::string& file) {
    char text[512] = {};
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       0, text, sizeof text, nullptr);
    std::string message(text, length);
    for (size_t at = message.find("%1"); at != std::string::npos;
         at = message.find("%1", at + file.size())) {
        message.replace(at, 2, file);
    }
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message.empty() ? std::string() : ": " + message;
}

}  // namespace

bool PluginLibrary::open(const std::string& path, std::string& error) {
    close();
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        const DWORD code = GetLastError();
        error = "cannot load " + path + " (error " + std::to_string(code) +
                systemMessage(code, path) + ")";
        return false;
    }
    handle_ = reinterpret_cast<void*>(module);
    return true;
}

void PluginLibrary::close() {
    if (handle_ != nullptr) FreeLibrary(reinterpret_cast<HMODULE>(handle_));
    handle_ = nullptr;
}

void* PluginLibrary::exportAddress(const char* exportName, unsigned argumentBytes) const {
    if (handle_ == nullptr) return nullptr;
#if defined(_WIN64)
    (void)argumentBytes;
    const std::string name = exportName;
#else
    // 32-bit standard-call exports carry their decorated names.
    const std::string name = "_" + std::string(exportName) + "@" + std::to_string(argumentBytes);
#endif
    return reinterpret_cast<void*>(
        GetProcAddress(reinterpret_cast<HMODULE>(handle_), name.c_str()));
}

std::string pluginFileName() {
    return "KoravenCsePlugin_14.dll";
}

std::string executableDirectory() {
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return "";
    std::string text(path, length);
    const size_t slash = text.find_last_of("\\/");
    return slash == std::string::npos ? "" : text.substr(0, slash + 1);
}

#else

bool PluginLibrary::open(const std::string& path, std::string& error) {
    close();
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* reason = dlerror();
        error = reason != nullptr ? reason : "cannot load " + path;
        return false;
    }
    return true;
}

void PluginLibrary::close() {
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = nullptr;
}

void* PluginLibrary::exportAddress(const char* exportName, unsigned argumentBytes) const {
    (void)argumentBytes;
    return handle_ != nullptr ? dlsym(handle_, exportName) : nullptr;
}

std::string pluginFileName() {
    return "KoravenCsePlugin_14.so";
}

std::string executableDirectory() {
    char path[PATH_MAX] = {};
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return "";
    std::string text(path, static_cast<size_t>(length));
    const size_t slash = text.rfind('/');
    return slash == std::string::npos ? "" : text.substr(0, slash + 1);
}

#endif

PluginLibrary::~PluginLibrary() {
    close();
}

}  // namespace csesession
