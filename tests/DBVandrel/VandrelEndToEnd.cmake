# SPDX-License-Identifier: MIT
if(TARGET vandrel_window)
    vandrel_add_qtest(VandrelEndToEndTest
        SOURCES
            VandrelEndToEndTest.cpp
            VandrelDbTestSupport.h
            ${PROJECT_SOURCE_DIR}/tests/dbaccess/TFakeSqlServer.h ${PROJECT_SOURCE_DIR}/tests/dbaccess/TFakeSqlServer.cpp
        LIBS vandrel_window
        LABELS gui db ftp
        TIMEOUT 120)
    target_include_directories(VandrelEndToEndTest PRIVATE ${PROJECT_SOURCE_DIR}/tests/dbaccess)
endif()
