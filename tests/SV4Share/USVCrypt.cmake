# SPDX-License-Identifier: MIT
vandrel_add_gtest(USVCryptTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/USVCryptTest.cpp
    LIBS sv4_settings
    LABELS unit
    TIMEOUT 60)
