# SPDX-License-Identifier: MIT
vandrel_add_gtest(UFtpTransferTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/UFtpTransferTest.cpp
    LIBS vandrel_steps
    LABELS ftp
    TIMEOUT 120)
