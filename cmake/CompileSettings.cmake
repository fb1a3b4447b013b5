# One interface target that every library, executable and test links: warnings, Qt safety defines.
add_library(ebbcast_compile_settings INTERFACE)

target_compile_options(ebbcast_compile_settings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
    -Wcast-qual -Wformat=2 -Wimplicit-fallthrough -Wmissing-declarations)

# Warnings fail the build on CI; locally they stay warnings so a half-finished edit still builds.
if(DEFINED ENV{CI} AND NOT "$ENV{CI}" STREQUAL "" AND NOT "$ENV{CI}" STREQUAL "false")
    target_compile_options(ebbcast_compile_settings INTERFACE -Werror)
endif()

target_compile_definitions(ebbcast_compile_settings INTERFACE
    QT_NO_CAST_FROM_ASCII
    QT_NO_CAST_TO_ASCII
    QT_NO_CAST_FROM_BYTEARRAY
    QT_NO_URL_CAST_FROM_STRING
    QT_NO_NARROWING_CONVERSIONS_IN_CONNECT
    QT_NO_FOREACH
    QT_NO_KEYWORDS
    QT_USE_QSTRINGBUILDER
    QT_STRICT_ITERATORS)
