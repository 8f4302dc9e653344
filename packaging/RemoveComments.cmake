# SPDX-License-Identifier: Apache-2.0
# CPack runs this after staging each package: the compiler's .comment section (its version string)
# goes out of every ELF file, as Debian's own packaging strips it.
file(GLOB_RECURSE staged LIST_DIRECTORIES false ${CPACK_TEMPORARY_DIRECTORY}/*)
foreach(path IN LISTS staged)
    if(IS_SYMLINK ${path})
        continue()
    endif()
    file(READ ${path} magic LIMIT 4 HEX)
    if(magic STREQUAL "7f454c46")
        execute_process(COMMAND ${CPACK_KRV_OBJCOPY} --remove-section=.comment ${path}
                        RESULT_VARIABLE failed)
        if(failed)
            message(FATAL_ERROR "objcopy could not remove .comment from ${path}")
        endif()
    endif()
endforeach()
