# SPDX-License-Identifier: MIT
# The demo of scripts/run.sh without a display: its settings files drive a sending and a receiving run.
add_test(NAME VandrelDemoTest
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/VandrelDemoTest.sh ${PROJECT_BINARY_DIR})
set_tests_properties(VandrelDemoTest PROPERTIES
    LABELS "ftp;db" TIMEOUT 180
    ENVIRONMENT "VANDREL_TEST_PYTHON=${VANDREL_TEST_PYTHON}")
