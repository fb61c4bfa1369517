# SPDX-License-Identifier: MIT
# Support utilities: the program's version information and the folder and launch-and-wait helpers.
add_library(sv4_utils STATIC
    ${CMAKE_CURRENT_LIST_DIR}/UVersionInfo.h ${CMAKE_CURRENT_LIST_DIR}/UVersionInfo.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UFileUtils.h ${CMAKE_CURRENT_LIST_DIR}/UFileUtils.cpp)
target_include_directories(sv4_utils PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(sv4_utils PUBLIC sv4_support Qt6::Core)
# The running program's version resource, fixed at build time. The file version is the one of project() in the
# top CMakeLists.txt, the only place it is written; the program reads it through TVersionInfo::ProgramVersion().
target_compile_definitions(sv4_utils PRIVATE
    VANDREL_COMPANY_NAME="Brantwell"
    VANDREL_PRODUCT_NAME="Solvane"
    VANDREL_FILE_VERSION="${PROJECT_VERSION}"
    VANDREL_PRODUCT_VERSION="1.0.0.0")
