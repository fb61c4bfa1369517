# SPDX-License-Identifier: MIT
# The settings as a value: no widget, so it also runs in a build without the window.
vandrel_add_gtest(VandrelSettingsValueTest
    SOURCES VandrelSettingsValueTest.cpp
    LIBS vandrel_run
    LABELS unit
    TIMEOUT 60)
