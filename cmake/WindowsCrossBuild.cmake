# SPDX-License-Identifier: Apache-2.0
# The 32-bit Windows build of this tree, configured and built from the native build as an external
# project with the MinGW tool chain file: KoravenCsePlugin_14.dll, cse-host.exe and the Windows
# test programs. Compiling needs only the MinGW tool chain; Wine is needed only to run the tests.
include_guard(GLOBAL)
include(ExternalProject)

# Layers that build for Windows. quorbit-sim is left out: its sockets are POSIX-only, so the
# Windows cse-host has no embedded emulator.
set(KRV_WINDOWS_PORTABLE_LAYERS framework remote target exports session svf diagnosis host)

# krv_add_windows_cross_build(<out-build-dir> <out-found>)
# Adds the target windows_cross_build when the MinGW compiler is found. <out-build-dir> receives the
# cross build's folder (its programs and the DLL are in bin/), <out-found> whether it was added.
function(krv_add_windows_cross_build out_build_dir out_found)
    find_program(KRV_MINGW_CXX NAMES i686-w64-mingw32-g++-posix i686-w64-mingw32-g++)
    set(build_dir ${CMAKE_BINARY_DIR}/windows)
    set(${out_build_dir} ${build_dir} PARENT_SCOPE)
    if(NOT KRV_MINGW_CXX)
        set(${out_found} FALSE PARENT_SCOPE)
        return()
    endif()

    set(layers "")
    foreach(layer IN LISTS KRV_WINDOWS_PORTABLE_LAYERS)
        if(layer IN_LIST KRV_LAYERS)
            list(APPEND layers ${layer})
        endif()
    endforeach()
    list(APPEND layers tests/windows)
    # ExternalProject splits its arguments at ";", so the list travels with "|" between items.
    string(REPLACE ";" "|" layers_argument "${layers}")

    ExternalProject_Add(windows_cross_build
        SOURCE_DIR ${PROJECT_SOURCE_DIR}
        BINARY_DIR ${build_dir}
        PREFIX ${CMAKE_BINARY_DIR}/windows-stamps
        LIST_SEPARATOR |
        CMAKE_ARGS
            -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/toolchain-i686-w64-mingw32.cmake
            -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
            -DKRV_WERROR=${KRV_WERROR}
            -DKRV_BUILD_TESTS=OFF
            -DKRV_BUILD_BENCH=OFF
            -DKRV_BUILD_FUZZ=OFF
            -DKRV_LAYERS=${layers_argument}
        # The sources are this tree: let the cross build's own make decide what is out of date.
        BUILD_ALWAYS ON
        INSTALL_COMMAND ""
    )
    set(${out_found} TRUE PARENT_SCOPE)
endfunction()
