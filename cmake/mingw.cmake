# What both mingw-w64 cross-builds share; the toolchain file sets
# PENDREL_MINGW_CPU (i686 or x86_64) and includes this. The posix thread
# model makes std::thread, std::mutex and std::condition_variable available.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${PENDREL_MINGW_CPU})
set(CMAKE_C_COMPILER ${PENDREL_MINGW_CPU}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${PENDREL_MINGW_CPU}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${PENDREL_MINGW_CPU}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${PENDREL_MINGW_CPU}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# The cross-built tests run under Wine, in the project's private prefix,
# when CTest runs them (their discovery too): configuring and building never
# run a Windows program, so neither needs Wine. 32-bit programs through
# scripts/wine32 (set by mingw-i686.cmake), 64-bit ones through wine64.
if(NOT PENDREL_WINE_EMULATOR)
  set(PENDREL_WINE_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${PENDREL_WINE_EMULATOR})
