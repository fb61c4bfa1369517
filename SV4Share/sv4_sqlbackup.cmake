# SPDX-License-Identifier: MIT
# Backup and restore commands (USVSQLBackup) on the database access layer.
add_library(sv4_sqlbackup STATIC
    ${CMAKE_CURRENT_LIST_DIR}/USVSQLBackup.h ${CMAKE_CURRENT_LIST_DIR}/USVSQLBackup.cpp)
target_include_directories(sv4_sqlbackup PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(sv4_sqlbackup PUBLIC dbaccess sv4_support)
