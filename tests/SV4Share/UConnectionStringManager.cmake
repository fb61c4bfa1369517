# SPDX-License-Identifier: MIT
vandrel_add_gtest(UConnectionStringManagerTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/UConnectionStringManagerTest.cpp
    LIBS sv4_datcon
    LABELS unit
    TIMEOUT 60)
