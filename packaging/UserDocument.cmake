# SPDX-License-Identifier: Apache-2.0
# A folder's README as a package user reads it: the parts between "<!-- developer -->" and
# "<!-- /developer -->" (the library's API, the tests, the source tree) are left out, so that the
# installed document names nothing that exists only in the source tree.
#   cmake -DINPUT=README.md -DOUTPUT=doc.md -P UserDocument.cmake
file(READ ${INPUT} text)
string(REGEX REPLACE "<!-- developer -->[^<]*(<[^!][^<]*)*<!-- /developer -->\n?" "" text "${text}")
if(text MATCHES "<!-- /?developer -->")
    message(FATAL_ERROR "${INPUT}: a developer block is not closed")
endif()
file(WRITE ${OUTPUT} "${text}")
