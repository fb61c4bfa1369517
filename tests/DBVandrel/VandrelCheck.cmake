# SPDX-License-Identifier: MIT
# Not yet enabled (rename to VandrelCheck.cmake once it builds): the job check against the fake SQL Server and
# loopback FTP, and the program's --check.
vandrel_add_gtest(VandrelCheckTest
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/VandrelCheckTest.cpp
        ${PROJECT_SOURCE_DIR}/tests/dbaccess/TFakeSqlServer.h ${PROJECT_SOURCE_DIR}/tests/dbaccess/TFakeSqlServer.cpp
    LIBS vandrel_run
    LABELS ftp db
    TIMEOUT 120)
target_include_directories(VandrelCheckTest PRIVATE ${PROJECT_SOURCE_DIR}/tests/dbaccess)
target_compile_definitions(VandrelCheckTest PRIVATE VANDREL_BINARY="$<TARGET_FILE:dbvandrel>")
add_dependencies(VandrelCheckTest dbvandrel)
