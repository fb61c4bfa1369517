# SPDX-License-Identifier: MIT
if(TARGET vandrel_window)
    vandrel_add_qtest(VandrelSettingsTest
        SOURCES VandrelSettingsTest.cpp
        LIBS vandrel_window
        LABELS gui
        TIMEOUT 60)
endif()
