# SPDX-License-Identifier: Apache-2.0
# Cross build for 32-bit Windows with Debian's i686 MinGW-w64 tool chain (package g++-mingw-w64-i686).
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(KRV_MINGW_TRIPLE i686-w64-mingw32)
# The posix thread model, so std::thread and std::mutex exist (the emulator inside cse-host uses them).
find_program(CMAKE_C_COMPILER NAMES ${KRV_MINGW_TRIPLE}-gcc-posix ${KRV_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KRV_MINGW_TRIPLE}-g++-posix ${KRV_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KRV_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KRV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything static except Windows' own DLLs: the plug-in and the programs run on a bare Windows
# without the MinGW runtime DLLs (libgcc, libstdc++, winpthread) beside them.
set(KRV_MINGW_STATIC_RUNTIME "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${KRV_MINGW_STATIC_RUNTIME}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${KRV_MINGW_STATIC_RUNTIME}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${KRV_MINGW_STATIC_RUNTIME}")
