# SPDX-License-Identifier: Apache-2.0
# CPack runs this after staging each package: the .tar.gz gets LICENSE at its top, as the .zip
# does. The .deb keeps the licence in usr/share/doc/<package>/copyright only, as Debian wants.
if(CPACK_GENERATOR STREQUAL "TGZ")
    file(COPY ${CPACK_KRV_LICENSE_FILE} DESTINATION ${CPACK_TEMPORARY_DIRECTORY})
endif()
