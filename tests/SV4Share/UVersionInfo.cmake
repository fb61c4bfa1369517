# SPDX-License-Identifier: MIT
vandrel_add_gtest(UVersionInfoTest
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/UVersionInfoTest.cpp
    LIBS sv4_utils
    LABELS unit
    TIMEOUT 60)
# The version the program must report, straight from project(... VERSION).
target_compile_definitions(UVersionInfoTest PRIVATE
    VANDREL_TEST_PROJECT_VERSION="${PROJECT_VERSION}"
    VANDREL_TEST_PROJECT_VERSION_PATCH="${PROJECT_VERSION_PATCH}"
    VANDREL_TEST_PROJECT_VERSION_TWEAK="${PROJECT_VERSION_TWEAK}")
