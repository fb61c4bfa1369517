# SPDX-License-Identifier: MIT
vandrel_add_gtest(VandrelFtpStepTest
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/VandrelFtpStepTest.cpp
        ${CMAKE_CURRENT_LIST_DIR}/VandrelStepTestSupport.h
    LIBS vandrel_run Qt6::Test
    LABELS ftp
    TIMEOUT 120)
