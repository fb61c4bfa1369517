# SPDX-License-Identifier: MIT
# Encrypted settings: the string transform and the widget-free half of the control store.
add_library(sv4_settings STATIC
    ${CMAKE_CURRENT_LIST_DIR}/USVCrypt.h ${CMAKE_CURRENT_LIST_DIR}/USVCrypt.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UPersistRecords.h ${CMAKE_CURRENT_LIST_DIR}/UPersistRecords.cpp)
target_include_directories(sv4_settings PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(sv4_settings PUBLIC sv4_support Qt6::Core PkgConfig::GCRYPT)
