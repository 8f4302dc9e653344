# SPDX-License-Identifier: Apache-2.0
# cmake --install: programs in bin/, the plug-in in its own folder under the library folder, the
# host-facing headers, a relocatable CMake package and pkg-config file, chain files, documents,
# man pages, bash completion and the link dissector. The 32-bit Windows build installs what its .zip
# holds: the DLL beside cse-host.exe, the headers, the Windows README, the set-up guide, cse-host.md
# and quorbit-sim.md, the example files and LICENSE.
include(CMakePackageConfigHelpers)

set(krv_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/KoravenCsePlugin)
set(krv_doc_dir ${CMAKE_INSTALL_DOCDIR})
if(WIN32)
    set(krv_plugin_destination ${CMAKE_INSTALL_BINDIR})  # beside cse-host.exe, looked at first
    set(krv_doc_dir .)
else()
    set(krv_plugin_destination ${KRV_INSTALL_PLUGINDIR})
endif()

set_target_properties(cse_public_headers PROPERTIES EXPORT_NAME headers)
target_include_directories(cse_public_headers INTERFACE
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
install(TARGETS cse_public_headers EXPORT KoravenCsePluginTargets)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/koraven-cse-plugin
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

if(TARGET KoravenCsePlugin_14)
    set_target_properties(KoravenCsePlugin_14 PROPERTIES EXPORT_NAME plugin)
    # Loaded with dlopen, never executed: no execute bit.
    install(TARGETS KoravenCsePlugin_14 EXPORT KoravenCsePluginTargets
            LIBRARY DESTINATION ${krv_plugin_destination}
                    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
            RUNTIME DESTINATION ${krv_plugin_destination})
endif()
foreach(program IN ITEMS cse-host quorbit-sim)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
endforeach()

# Package users get their own README and the set-up guide; the developer README stays in the tree.
install(FILES ${PROJECT_SOURCE_DIR}/docs/setup-guide.md DESTINATION ${krv_doc_dir})
# The folders' READMEs without their developer parts (packaging/UserDocument.cmake); the .zip
# gets those of its programs' documents too, and the SVF file they use.
set(krv_user_documents "")
set(krv_document_pairs "host/README.md=cse-host.md" "sim/README.md=quorbit-sim.md")
if(NOT WIN32)
    list(APPEND krv_document_pairs "tools/wireshark/README.md=koraven-link-dissector.md")
endif()
foreach(pair IN LISTS krv_document_pairs)
    string(REPLACE "=" ";" pair "${pair}")
    list(GET pair 0 source)
    list(GET pair 1 installed)
    set(output ${CMAKE_BINARY_DIR}/doc/${installed})
    add_custom_command(OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -DINPUT=${PROJECT_SOURCE_DIR}/${source} -DOUTPUT=${output}
                -P ${PROJECT_SOURCE_DIR}/packaging/UserDocument.cmake
        DEPENDS ${PROJECT_SOURCE_DIR}/${source} ${PROJECT_SOURCE_DIR}/packaging/UserDocument.cmake
        VERBATIM)
    list(APPEND krv_user_documents ${output})
endforeach()
add_custom_target(krv_user_documents ALL DEPENDS ${krv_user_documents})
install(FILES ${krv_user_documents} DESTINATION ${krv_doc_dir})
# Files the documents' examples use: an SVF file for the demo chain and OpenOCD's configuration
# for cse-host serve.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/examples/board.svf
              ${PROJECT_SOURCE_DIR}/packaging/examples/koraven.cfg
        DESTINATION ${krv_doc_dir}/examples)
if(WIN32)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/README-Windows.txt ${PROJECT_SOURCE_DIR}/LICENSE
            DESTINATION .)
    return()
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/README.user.md DESTINATION ${krv_doc_dir}
        RENAME README.md)

# The CMake package: KoravenCsePlugin::headers (INTERFACE) and KoravenCsePlugin::plugin (the module,
# for its path); every path is relative to the package's own location.
install(EXPORT KoravenCsePluginTargets NAMESPACE KoravenCsePlugin:: DESTINATION ${krv_cmake_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/packaging/KoravenCsePluginConfig.cmake.in
                              ${CMAKE_BINARY_DIR}/packaging/KoravenCsePluginConfig.cmake
                              INSTALL_DESTINATION ${krv_cmake_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/packaging/KoravenCsePluginConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/packaging/KoravenCsePluginConfig.cmake
              ${CMAKE_BINARY_DIR}/packaging/KoravenCsePluginConfigVersion.cmake
        DESTINATION ${krv_cmake_dir})

# pkg-config: absolute paths as installed. pkg-config joins a path relative to the .pc file's folder
# without normalising it (-I/usr/lib/<multiarch>/pkgconfig/../../../include), and pkgconf's
# --define-prefix does not see the prefix above a multiarch folder; a moved tree sets the prefix.
file(RELATIVE_PATH krv_prefix_to_include ${CMAKE_INSTALL_PREFIX} ${CMAKE_INSTALL_FULL_INCLUDEDIR})
file(RELATIVE_PATH krv_prefix_to_plugindir ${CMAKE_INSTALL_PREFIX} ${KRV_INSTALL_FULL_PLUGINDIR})
configure_file(${PROJECT_SOURCE_DIR}/packaging/koraven-cse-plugin.pc.in
               ${CMAKE_BINARY_DIR}/packaging/${KRV_PACKAGE_NAME}.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/${KRV_PACKAGE_NAME}.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/sim/chains/ DESTINATION ${CMAKE_INSTALL_DATADIR}/quorbit-sim
        FILES_MATCHING PATTERN "*.chain")
# OpenOCD's configuration for the ARM core of the arm chain through cse-host serve.
install(FILES ${PROJECT_SOURCE_DIR}/bridge/openocd/koraven-arm.cfg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/${KRV_PACKAGE_NAME}/openocd)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${krv_doc_dir})
# Wireshark's global Lua plug-in folder (Debian: lib/<multiarch>/wireshark/plugins/): tshark and
# Wireshark load the dissector with no option.
install(FILES ${PROJECT_SOURCE_DIR}/tools/wireshark/koraven_link.lua
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/wireshark/plugins)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/completion/quorbit-sim
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
# cse-host prints its own completion from the definitions of its options and commands.
if(TARGET cse-host)
    set(krv_cse_host_completion ${CMAKE_BINARY_DIR}/completion/cse-host)
    add_custom_command(OUTPUT ${krv_cse_host_completion}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/completion
        COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:cse-host> -DARGUMENT=--bash-completion
                -DOUTPUT=${krv_cse_host_completion} -P ${PROJECT_SOURCE_DIR}/cmake/WriteCommandOutput.cmake
        DEPENDS cse-host VERBATIM)
    add_custom_target(krv_cse_host_completion ALL DEPENDS ${krv_cse_host_completion})
    install(FILES ${krv_cse_host_completion}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
endif()

# Man pages from the programs' own --help and --version with the sections kept in
# packaging/man/<program>.h2m (synopsis, commands, exit status, files, examples, ...), compressed
# as Debian keeps them.
find_program(KRV_HELP2MAN help2man)
find_program(KRV_GZIP gzip)
if(NOT KRV_HELP2MAN OR NOT KRV_GZIP)
    message(STATUS "man pages skipped: help2man or gzip not found (scripts/install-deps.sh test)")
    return()
endif()
set(krv_man_pages "")
set(krv_programs cse-host quorbit-sim)
set(krv_program_descriptions "drive the KORAVEN JTAG cable plug-in from the command line"
                             "emulate the KORAVEN debugger front end's UDP remote interface")
foreach(program description IN ZIP_LISTS krv_programs krv_program_descriptions)
    if(NOT TARGET ${program})
        continue()
    endif()
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
    set(include ${PROJECT_SOURCE_DIR}/packaging/man/${program}.h2m)
    add_custom_command(OUTPUT ${page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
        COMMAND ${KRV_HELP2MAN} --no-info --section=1 --name=${description}
                --include=${include} --output=${page} $<TARGET_FILE:${program}>
        COMMAND ${KRV_GZIP} -9nf ${page}
        DEPENDS ${program} ${include} VERBATIM)
    list(APPEND krv_man_pages ${page}.gz)
endforeach()
add_custom_target(krv_man_pages ALL DEPENDS ${krv_man_pages})
install(FILES ${krv_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
