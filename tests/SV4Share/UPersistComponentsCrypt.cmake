# SPDX-License-Identifier: MIT
if(TARGET sv4_widgets)
    vandrel_add_qtest(UPersistComponentsCryptTest
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/UPersistComponentsCryptTest.cpp
        LIBS sv4_widgets
        LABELS gui
        TIMEOUT 60)
endif()
