# SPDX-License-Identifier: MIT
# Date-pattern file names and local path parts.
list(APPEND VANDREL_STEPS_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/UFileNaming.h
    ${CMAKE_CURRENT_LIST_DIR}/UFileNaming.cpp)
