# SPDX-License-Identifier: MIT
vandrel_add_gtest(UFileNamingTest
    SOURCES UFileNamingTest.cpp
    LIBS vandrel_steps
    LABELS unit
    TIMEOUT 60)
