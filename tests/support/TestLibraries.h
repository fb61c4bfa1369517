// SPDX-License-Identifier: MIT
#pragma once

/// Once-per-process set-up of the C libraries, as the program's main does: curl and libgcrypt.
void InitTestLibraries();
/// Releases what InitTestLibraries set up.
void DoneTestLibraries();

/// QtTest main for window and widget tests: a QApplication, the libraries, then the test object.
#define VANDREL_QTEST_MAIN(TestObject)                                                                                 \
    int main(int argc, char** argv)                                                                                    \
    {                                                                                                                  \
        QApplication app(argc, argv);                                                                                  \
        InitTestLibraries();                                                                                           \
        TestObject test;                                                                                               \
        const int rc = QTest::qExec(&test, argc, argv);                                                                \
        DoneTestLibraries();                                                                                           \
        return rc;                                                                                                     \
    }
