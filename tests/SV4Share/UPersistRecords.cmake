# SPDX-License-Identifier: MIT
vandrel_add_gtest(UPersistRecordsTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/UPersistRecordsTest.cpp
    LIBS sv4_settings
    LABELS unit
    TIMEOUT 60)
