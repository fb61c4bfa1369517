# SPDX-License-Identifier: MIT
vandrel_add_gtest(dbaccess_test
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/TFakeSqlServer.h ${CMAKE_CURRENT_LIST_DIR}/TFakeSqlServer.cpp
        ${CMAKE_CURRENT_LIST_DIR}/UOleDbStringTest.cpp
        ${CMAKE_CURRENT_LIST_DIR}/TDBConnectionTest.cpp
        ${CMAKE_CURRENT_LIST_DIR}/TDBEncryptionTest.cpp
    LIBS dbaccess
    LABELS db
    TIMEOUT 120)
# The connection-string tests expect the driver name the layer writes.
target_compile_definitions(dbaccess_test PRIVATE VANDREL_ODBC_DRIVER="${VANDREL_ODBC_DRIVER}")
