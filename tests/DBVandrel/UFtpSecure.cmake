# SPDX-License-Identifier: MIT
vandrel_add_gtest(UFtpSecureTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/UFtpSecureTest.cpp
    LIBS vandrel_steps
    LABELS ftp
    TIMEOUT 180)
