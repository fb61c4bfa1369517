# SPDX-License-Identifier: MIT
vandrel_add_gtest(VandrelLogTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/VandrelLogTest.cpp
    LIBS vandrel_run
    LABELS unit
    TIMEOUT 60)
