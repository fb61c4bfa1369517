# SPDX-License-Identifier: MIT
vandrel_add_gtest(VandrelRunTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/VandrelRunTest.cpp
    LIBS vandrel_run Qt6::Test
    LABELS unit
    TIMEOUT 120)
