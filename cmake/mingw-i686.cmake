# Cross-build for 32-bit Windows with mingw-w64 (posix thread model, so that
# std::thread, std::mutex and std::condition_variable are available).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# The cross-built tests run under Wine, in the project's private prefix, where
# this kernel can run 32-bit programs at all (otherwise the windows64 build
# carries the Windows tests, and this one only builds).
find_program(PENDREL_WINE NAMES wine)
if(PENDREL_WINE)
  execute_process(COMMAND ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run --can-run-32
                  RESULT_VARIABLE PENDREL_WINE32_RC)
  if(PENDREL_WINE32_RC EQUAL 0)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
  endif()
endif()
