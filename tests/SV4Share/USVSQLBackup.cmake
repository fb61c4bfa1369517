# SPDX-License-Identifier: MIT
vandrel_add_gtest(USVSQLBackup_test
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/USVSQLBackupTest.cpp
        ${PROJECT_SOURCE_DIR}/tests/dbaccess/TFakeSqlServer.h ${PROJECT_SOURCE_DIR}/tests/dbaccess/TFakeSqlServer.cpp
    LIBS sv4_sqlbackup
    LABELS db
    TIMEOUT 120)
target_include_directories(USVSQLBackup_test PRIVATE ${PROJECT_SOURCE_DIR}/tests/dbaccess)
