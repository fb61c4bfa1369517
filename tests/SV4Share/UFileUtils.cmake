# SPDX-License-Identifier: MIT
vandrel_add_gtest(UFileUtilsTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/UFileUtilsTest.cpp
    LIBS sv4_utils
    LABELS unit
    TIMEOUT 60)
