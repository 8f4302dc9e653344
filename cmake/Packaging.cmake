# SPDX-License-Identifier: Apache-2.0
# CPack: a .deb (dependencies from dpkg-shlibdeps) and a .tar.gz on Linux, a .zip for the 32-bit
# Windows build. scripts/package.sh runs them into dist/.
set(CPACK_PACKAGE_NAME ${KRV_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "KoravenCsePlugin_14 maintainers")
set(CPACK_PACKAGE_CONTACT
    "KoravenCsePlugin_14 maintainers <maintainers@users.noreply.c-seed-05d7b8ae.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "JTAG cable plug-in for a KORAVEN in-circuit debugger")
set(CPACK_PACKAGE_DESCRIPTION
    "A cable plug-in library that host JTAG tool chains load to drive a
KORAVEN in-circuit debugger over its front end's UDP remote interface:
chain discovery, TAP navigation and IR/DR shifts through the whole chain
or one device. With cse-host, a small host that loads the plug-in and
drives it from the command line; quorbit-sim, an emulator of the front
end with a virtual JTAG chain; and the headers, CMake package and
pkg-config file for host authors.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY ${KRV_PACKAGE_NAME})
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
    set(CPACK_GENERATOR ZIP)
    set(CPACK_SYSTEM_NAME win32)
    include(CPack)
    return()
endif()

set(CPACK_GENERATOR DEB TGZ)
# --- Licence: LICENSE at the top of the .tar.gz (the .deb carries it as its copyright file) ---
set(CPACK_KRV_LICENSE_FILE ${PROJECT_SOURCE_DIR}/LICENSE)
list(APPEND CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/ArchiveLicence.cmake)
# --- end of the licence block ---

# --- The dissector is installed for Wireshark and tshark, which are not needed otherwise ---
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "wireshark | tshark")
# --- end of the dissector block ---

# --- Hardening: no .comment section in the packaged programs and plug-in (the compiler flags
# come from dpkg-buildflags, scripts/package.sh) ---
set(CPACK_KRV_OBJCOPY ${CMAKE_OBJCOPY})
list(APPEND CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/packaging/RemoveComments.cmake)
# --- end of the hardening block ---
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_GENERATE_MD5SUMS ON)

# Debian keeps a compressed change log beside the copyright file.
string(TIMESTAMP krv_changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog
               @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    COMMAND ${KRV_GZIP} -9nkf ${CMAKE_BINARY_DIR}/packaging/changelog
    DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog VERBATIM)
add_custom_target(krv_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

# ---- The Python module (python/) ----
# koraven_cse goes in this package, so it always matches the plug-in it loads; it needs the
# interpreter it was built for, which no library scan can see.
get_property(krv_python_depends GLOBAL PROPERTY KRV_PYTHON_DEB_DEPENDS)
if(krv_python_depends)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${krv_python_depends}")
endif()
# ---- end of the Python module's block ----

include(CPack)
