# SPDX-License-Identifier: MIT
vandrel_add_gtest(UDatConModuleTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/UDatConModuleTest.cpp
    LIBS sv4_datcon
    LABELS db
    TIMEOUT 120)
