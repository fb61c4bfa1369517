# SPDX-License-Identifier: MIT
# ZIP engine of the zip and extract step: libzip for the archive, zlib for deflate, OpenSSL for the encryption of
# the entries it deflates itself.
find_package(ZLIB REQUIRED)
list(APPEND VANDREL_STEPS_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/UZipArchive.h
    ${CMAKE_CURRENT_LIST_DIR}/UZipArchive.cpp)
list(APPEND VANDREL_STEPS_LIBS PkgConfig::LIBZIP ZLIB::ZLIB OpenSSL::Crypto)
