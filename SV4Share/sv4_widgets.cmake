# SPDX-License-Identifier: MIT
# Widget glue of the reusable units. Further units append their sources to SV4_WIDGETS_SOURCES.
if(VANDREL_GUI)
    set(SV4_WIDGETS_SOURCES
        ${CMAKE_CURRENT_LIST_DIR}/UPersistComponentsCrypt.h
        ${CMAKE_CURRENT_LIST_DIR}/UPersistComponentsCrypt.cpp)

    add_library(sv4_widgets STATIC ${SV4_WIDGETS_SOURCES})
    target_include_directories(sv4_widgets PUBLIC ${CMAKE_CURRENT_LIST_DIR})
    target_link_libraries(sv4_widgets PUBLIC sv4_settings Qt6::Widgets)
endif()
