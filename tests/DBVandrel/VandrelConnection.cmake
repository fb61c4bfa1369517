# SPDX-License-Identifier: MIT
if(TARGET vandrel_window AND TARGET sv4_datcon)
    vandrel_add_qtest(VandrelConnectionTest
        SOURCES VandrelConnectionTest.cpp
        LIBS vandrel_window
        LABELS gui db
        TIMEOUT 60)
endif()
