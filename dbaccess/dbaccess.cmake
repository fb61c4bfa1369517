# SPDX-License-Identifier: MIT
# Database access layer: connection, command and query over ODBC 3 (unixODBC) with a SQL Server driver.
add_library(dbaccess STATIC
    ${CMAKE_CURRENT_LIST_DIR}/TDBTypes.h
    ${CMAKE_CURRENT_LIST_DIR}/TOdbc.h ${CMAKE_CURRENT_LIST_DIR}/TOdbc.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UOleDbString.h ${CMAKE_CURRENT_LIST_DIR}/UOleDbString.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UFreeTds.h ${CMAKE_CURRENT_LIST_DIR}/UFreeTds.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TDBConnection.h ${CMAKE_CURRENT_LIST_DIR}/TDBConnection.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TDBStatementRun.h
    ${CMAKE_CURRENT_LIST_DIR}/TDBCommand.h ${CMAKE_CURRENT_LIST_DIR}/TDBCommand.cpp
    ${CMAKE_CURRENT_LIST_DIR}/TDBQuery.h ${CMAKE_CURRENT_LIST_DIR}/TDBQuery.cpp)
target_include_directories(dbaccess PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(dbaccess PUBLIC sv4_support Qt6::Core ODBC::ODBC Threads::Threads PRIVATE sv4_utils OpenSSL::SSL)
