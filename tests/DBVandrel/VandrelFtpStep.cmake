# SPDX-License-Identifier: MIT
if(TARGET vandrel_window)
    vandrel_add_qtest(VandrelFtpStepTest
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/VandrelFtpStepTest.cpp
        LIBS vandrel_window CURL::libcurl
        LABELS gui ftp
        TIMEOUT 120)
endif()
