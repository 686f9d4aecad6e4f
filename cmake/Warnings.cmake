# Warnings for every target of the project, as one INTERFACE target.
add_library(parlon_warnings INTERFACE)
target_compile_options(parlon_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast -Wcast-align
    -Wunused -Woverloaded-virtual -Wconversion -Wsign-conversion
    -Wdouble-promotion -Wformat=2 -Wimplicit-fallthrough)
if(PARLON_WERROR)
    target_compile_options(parlon_warnings INTERFACE -Werror)
endif()
