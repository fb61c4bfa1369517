# SPDX-License-Identifier: MIT
vandrel_add_gtest(UDatConTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/UDatConTest.cpp
    LIBS sv4_datcon
    LABELS unit
    TIMEOUT 60)
vandrel_add_gtest(UDatConDbTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/UDatConDbTest.cpp
    LIBS sv4_datcon
    LABELS db
    TIMEOUT 120)
