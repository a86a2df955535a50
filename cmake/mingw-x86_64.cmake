# Cross-build for 64-bit Windows with mingw-w64. The shipped program is the
# 32-bit one (mingw-i686.cmake); this build exists so that the Windows code
# can be tested under wine64 on a kernel that runs no 32-bit programs.
set(PENDREL_MINGW_CPU x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
