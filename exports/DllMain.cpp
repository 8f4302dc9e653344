// SPDX-License-Identifier: Apache-2.0
// The library's load entry. The plug-in starts no threads and keeps no per-thread state, so it asks
// not to be called for every thread the host creates or ends; start-up and shut-down are the
// runtime's.
#ifdef _WIN32

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}

#endif  // _WIN32
