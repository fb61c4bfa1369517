# SPDX-License-Identifier: MIT
vandrel_add_gtest(VandrelHousekeepingTest
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/VandrelHousekeepingTest.cpp
        ${CMAKE_CURRENT_LIST_DIR}/VandrelStepTestSupport.h
    LIBS vandrel_run Qt6::Test
    LABELS ftp
    TIMEOUT 120)
