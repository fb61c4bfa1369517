# SPDX-License-Identifier: MIT
# The real program without a display: widget-free, so it also runs in a build without the window.
vandrel_add_gtest(VandrelUnattendedTest
    SOURCES VandrelUnattendedTest.cpp
    LIBS vandrel_run
    LABELS ftp
    TIMEOUT 180)
target_compile_definitions(VandrelUnattendedTest PRIVATE VANDREL_BINARY="$<TARGET_FILE:dbvandrel>")
add_dependencies(VandrelUnattendedTest dbvandrel)
