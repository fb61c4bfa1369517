# SPDX-License-Identifier: MIT
# The real program run by a scheduler (no display) against loopback FTP and the fake SQL Server: command line,
# damaged settings, the lock, the log and its history file, database logins, file modes. Widget-free, so it also
# runs in a build without the window.
vandrel_add_gtest(VandrelScheduledTest
    SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/VandrelScheduledTest.cpp
        ${PROJECT_SOURCE_DIR}/tests/dbaccess/TFakeSqlServer.h ${PROJECT_SOURCE_DIR}/tests/dbaccess/TFakeSqlServer.cpp
    LIBS vandrel_run
    LABELS ftp
    TIMEOUT 90)
target_include_directories(VandrelScheduledTest PRIVATE ${PROJECT_SOURCE_DIR}/tests/dbaccess)
target_compile_definitions(VandrelScheduledTest PRIVATE VANDREL_BINARY="$<TARGET_FILE:dbvandrel>")
add_dependencies(VandrelScheduledTest dbvandrel)
# gtest_discover_tests flattens its PROPERTIES into one list, so a second label would break the pairs after it: both
# labels are set once the discovered tests are known (this file is read after the one that adds them).
file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/VandrelScheduledTest_labels.cmake"
    "if(VandrelScheduledTest_TESTS)\n"
    "  set_tests_properties(\${VandrelScheduledTest_TESTS} PROPERTIES LABELS \"ftp;db\")\n"
    "endif()\n")
set_property(DIRECTORY APPEND PROPERTY
    TEST_INCLUDE_FILES "${CMAKE_CURRENT_BINARY_DIR}/VandrelScheduledTest_labels.cmake")
