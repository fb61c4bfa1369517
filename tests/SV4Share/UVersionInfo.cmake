# SPDX-License-Identifier: MIT
vandrel_add_gtest(UVersionInfoTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/UVersionInfoTest.cpp
    LIBS sv4_utils
    LABELS unit
    TIMEOUT 60)
