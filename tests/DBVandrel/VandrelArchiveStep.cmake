# SPDX-License-Identifier: MIT
vandrel_add_gtest(VandrelArchiveStepTest
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/VandrelArchiveStepTest.cpp
        ${CMAKE_CURRENT_LIST_DIR}/VandrelStepTestSupport.h
    LIBS vandrel_run Qt6::Test
    LABELS unit
    TIMEOUT 120)
