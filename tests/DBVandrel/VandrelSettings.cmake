# SPDX-License-Identifier: MIT
if(TARGET vandrel_window AND TARGET sv4_widgets)
    vandrel_add_qtest(VandrelSettingsTest
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/VandrelSettingsTest.cpp
        LIBS vandrel_window
        LABELS gui
        TIMEOUT 60)
endif()
