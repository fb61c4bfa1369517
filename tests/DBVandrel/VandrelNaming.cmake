# SPDX-License-Identifier: MIT
if(TARGET vandrel_window)
    vandrel_add_qtest(VandrelNamingTest
        SOURCES VandrelNamingTest.cpp
        LIBS vandrel_window
        LABELS gui
        TIMEOUT 60)
endif()
