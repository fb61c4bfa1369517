# SPDX-License-Identifier: MIT
# FTP engine of the upload and download steps (libcurl).
list(APPEND VANDREL_STEPS_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/UFtpTransfer.h
    ${CMAKE_CURRENT_LIST_DIR}/UFtpTransfer.cpp)
list(APPEND VANDREL_STEPS_LIBS CURL::libcurl sv4_utils)
