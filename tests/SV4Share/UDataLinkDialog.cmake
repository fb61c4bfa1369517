# SPDX-License-Identifier: MIT
if(VANDREL_GUI)
    vandrel_add_qtest(UDataLinkDialogTest
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/UDataLinkDialogTest.cpp
        LIBS sv4_dialogs
        LABELS gui db
        TIMEOUT 120)
endif()
