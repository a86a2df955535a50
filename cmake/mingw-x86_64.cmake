# Cross-build for 64-bit Windows with mingw-w64. The shipped program is the
# 32-bit one (mingw-i686.cmake), tested under 32-bit Wine (scripts/wine32).
# This build carries the Windows tests under wine64 only where that 32-bit
# Wine cannot be had (its i386 root could not be made).
set(PENDREL_MINGW_CPU x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
