# SPDX-License-Identifier: MIT
# The connection and login dialogs, reached by the connection unit through the hooks they install.
if(VANDREL_GUI)
    add_library(sv4_dialogs STATIC
        ${CMAKE_CURRENT_LIST_DIR}/UDataLinkDialog.h ${CMAKE_CURRENT_LIST_DIR}/UDataLinkDialog.cpp
        ${CMAKE_CURRENT_LIST_DIR}/ULoginDialog.h ${CMAKE_CURRENT_LIST_DIR}/ULoginDialog.cpp)
    target_include_directories(sv4_dialogs PUBLIC ${CMAKE_CURRENT_LIST_DIR})
    target_link_libraries(sv4_dialogs PUBLIC sv4_datcon Qt6::Widgets)
endif()
