# SPDX-License-Identifier: MIT
if(TARGET vandrel_window)
    vandrel_add_qtest(VandrelRunnerTest
        SOURCES VandrelRunnerTest.cpp
        LIBS vandrel_window
        LABELS gui
        TIMEOUT 120)
    target_compile_definitions(VandrelRunnerTest PRIVATE VANDREL_BINARY="$<TARGET_FILE:dbvandrel>")
    add_dependencies(VandrelRunnerTest dbvandrel)
endif()

if(TARGET vandrel_window)
    vandrel_add_qtest(VandrelNamingTest
        SOURCES VandrelNamingTest.cpp
        LIBS vandrel_window
        LABELS gui
        TIMEOUT 60)
endif()

if(TARGET vandrel_window)
    vandrel_add_qtest(VandrelUnattendedTest
        SOURCES VandrelUnattendedTest.cpp
        LIBS vandrel_window
        LABELS gui ftp
        TIMEOUT 120)
    target_compile_definitions(VandrelUnattendedTest PRIVATE VANDREL_BINARY="$<TARGET_FILE:dbvandrel>")
    add_dependencies(VandrelUnattendedTest dbvandrel)
endif()
