# SPDX-License-Identifier: Apache-2.0
# cmake -DPROGRAM=... -DARGUMENT=... -DOUTPUT=... -P WriteCommandOutput.cmake: what a program prints,
# into a file (a build step cannot redirect portably).
execute_process(COMMAND ${PROGRAM} ${ARGUMENT} OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${PROGRAM} ${ARGUMENT} failed: ${result}")
endif()
