# SPDX-License-Identifier: MIT
if(VANDREL_GUI)
    vandrel_add_qtest(UDataLinkDialogTest
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/UDataLinkDialogTest.cpp
        LIBS sv4_dialogs
        LABELS gui db
        TIMEOUT 120)
    # The hooks in a program without a widget application (the test main's QCoreApplication).
    vandrel_add_gtest(UDataLinkDialogHeadlessTest
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/UDataLinkDialogHeadlessTest.cpp
        LIBS sv4_dialogs
        LABELS unit
        TIMEOUT 60)
endif()
