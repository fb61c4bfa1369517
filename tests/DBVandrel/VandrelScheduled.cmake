# SPDX-License-Identifier: MIT
# The real program run by a scheduler (no display) against loopback FTP and the fake SQL Server: command line,
# damaged settings, the lock, the log and its history file, database logins, file modes. Widget-free, so it also
# runs in a build without the window.
vandrel_add_gtest(VandrelScheduledTest
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/VandrelScheduledTest.cpp
        ${PROJECT_SOURCE_DIR}/tests/dbaccess/TFakeSqlServer.h ${PROJECT_SOURCE_DIR}/tests/dbaccess/TFakeSqlServer.cpp
    LIBS vandrel_run
    LABELS ftp db
    TIMEOUT 90)
target_include_directories(VandrelScheduledTest PRIVATE ${PROJECT_SOURCE_DIR}/tests/dbaccess)
target_compile_definitions(VandrelScheduledTest PRIVATE VANDREL_BINARY="$<TARGET_FILE:dbvandrel>")
add_dependencies(VandrelScheduledTest dbvandrel)
