# Cross-build for 32-bit Windows with mingw-w64: the program we ship.
set(PENDREL_MINGW_CPU i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
