// SPDX-License-Identifier: MIT
#include "TestLibraries.h"

#include <curl/curl.h>
#include <gcrypt.h>

void InitTestLibraries()
{
    curl_global_init(CURL_GLOBAL_ALL);
    gcry_check_version(nullptr);
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
}

void DoneTestLibraries()
{
    curl_global_cleanup();
}
