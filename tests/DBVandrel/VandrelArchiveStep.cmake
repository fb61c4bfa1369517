# SPDX-License-Identifier: MIT
if(TARGET vandrel_window)
    vandrel_add_qtest(VandrelArchiveStepTest
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/VandrelArchiveStepTest.cpp
        LIBS vandrel_window
        LABELS gui
        TIMEOUT 120)
endif()
