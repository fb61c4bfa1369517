// SPDX-License-Identifier: MIT
// Test main for the widget-free units: one QCoreApplication (for QProcess and Qt's event
// machinery) and the once-per-process initialisation of curl and libgcrypt.
#include <QCoreApplication>

#include <curl/curl.h>
#include <gcrypt.h>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    curl_global_init(CURL_GLOBAL_ALL);
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    ::testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
    curl_global_cleanup();
    return rc;
}
