# SPDX-License-Identifier: MIT
if(TARGET vandrel_window)
    vandrel_add_qtest(VandrelRunnerTest
        SOURCES VandrelRunnerTest.cpp
        LIBS vandrel_window
        LABELS gui
        TIMEOUT 120)
endif()
