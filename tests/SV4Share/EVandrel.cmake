# SPDX-License-Identifier: MIT
vandrel_add_gtest(EVandrelTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/EVandrelTest.cpp
    LIBS sv4_support
    LABELS unit
    TIMEOUT 60)
