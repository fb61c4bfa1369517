# SPDX-License-Identifier: MIT
# Compiler settings shared by every target of the project.
add_library(vandrel_options INTERFACE)
target_compile_features(vandrel_options INTERFACE cxx_std_20)
target_compile_options(vandrel_options INTERFACE
    -Wall -Wextra -Wpedantic -Wnon-virtual-dtor -Woverloaded-virtual
    $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast>)
if(VANDREL_WERROR)
    target_compile_options(vandrel_options INTERFACE -Werror)
endif()
if(VANDREL_SANITIZE)
    target_compile_options(vandrel_options INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer)
    target_link_options(vandrel_options INTERFACE -fsanitize=address,undefined)
endif()
target_compile_definitions(vandrel_options INTERFACE QT_NO_CAST_FROM_ASCII QT_NO_CAST_TO_ASCII QT_NO_KEYWORDS)

# vandrel_add_fragments(<dir>): includes every *.cmake file of a folder, in name order.
# Each unit group keeps its targets in a fragment of its own beside its sources.
macro(vandrel_add_fragments aDir)
    file(GLOB _fragments CONFIGURE_DEPENDS "${aDir}/*.cmake")
    list(SORT _fragments)
    foreach(_f IN LISTS _fragments)
        include("${_f}")
    endforeach()
endmacro()
