// SPDX-License-Identifier: MIT
// Test main for the widget-free units: one QCoreApplication (for QProcess and Qt's event
// machinery) and the once-per-process initialisation of curl and libgcrypt.
#include "TestLibraries.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    InitTestLibraries();
    ::testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    DoneTestLibraries();
    return rc;
}
