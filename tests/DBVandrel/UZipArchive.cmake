# SPDX-License-Identifier: MIT
vandrel_add_gtest(UZipArchiveTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/UZipArchiveTest.cpp
    LIBS vandrel_steps
    LABELS unit
    TIMEOUT 60)
