# Cross-build for 32-bit Windows with mingw-w64: the program we ship. Its
# tests run under 32-bit Wine through scripts/wine32 (natively, or in an i386
# root where no 32-bit Wine is installed or the kernel runs no i386 programs).
set(PENDREL_MINGW_CPU i686)
set(PENDREL_WINE_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
