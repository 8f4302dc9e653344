# SPDX-License-Identifier: Apache-2.0
# Fails unless the plug-in library exports exactly the six entry points the host looks up.
# Usage: cmake -DLIBRARY=<path> -DNM=<nm> -P CheckExportList.cmake
set(expected CsePlugin_create CsePlugin_destroy CsePlugin_getCsePluginVersion CsePlugin_loaded
             CsePlugin_setCallbacks CsePlugin_unloaded)

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE listing RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIBRARY}: ${errors}")
endif()

set(exported "")
string(REPLACE "\n" ";" lines "${listing}")
foreach(line IN LISTS lines)
    # "<address> <type> <name>"
    if(line MATCHES "^[0-9a-fA-F]+ [A-Za-z] ([^ ]+)$")
        list(APPEND exported ${CMAKE_MATCH_1})
    endif()
endforeach()
list(SORT exported)

if(NOT exported STREQUAL expected)
    message(FATAL_ERROR "exported symbols differ\n  expected: ${expected}\n  found:    ${exported}")
endif()
message(STATUS "exports: ${exported}")
