# SPDX-License-Identifier: MIT
# Connection strings: the utilities, the data-link writer, the INI reader/writer and the connection-string store.
# The dialogs are reached through hooks, so this target needs no widgets.
add_library(sv4_datcon STATIC
    ${CMAKE_CURRENT_LIST_DIR}/UDatCon.h ${CMAKE_CURRENT_LIST_DIR}/UDatCon.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UIniFile.h ${CMAKE_CURRENT_LIST_DIR}/UIniFile.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UConnectionStringManager.h ${CMAKE_CURRENT_LIST_DIR}/UConnectionStringManager.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UDatConModule.h ${CMAKE_CURRENT_LIST_DIR}/UDatConModule.cpp)
target_include_directories(sv4_datcon PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(sv4_datcon PUBLIC sv4_utils sv4_settings dbaccess Qt6::Core)
