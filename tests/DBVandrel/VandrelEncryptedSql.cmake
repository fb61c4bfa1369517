# SPDX-License-Identifier: MIT
vandrel_add_gtest(VandrelEncryptedSqlTest
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/VandrelEncryptedSqlTest.cpp
        ${CMAKE_CURRENT_LIST_DIR}/VandrelStepTestSupport.h
        ${PROJECT_SOURCE_DIR}/tests/dbaccess/TFakeSqlServer.h ${PROJECT_SOURCE_DIR}/tests/dbaccess/TFakeSqlServer.cpp
    LIBS vandrel_run Qt6::Test
    LABELS db
    TIMEOUT 120)
target_include_directories(VandrelEncryptedSqlTest PRIVATE ${PROJECT_SOURCE_DIR}/tests/dbaccess)
