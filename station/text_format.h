// printf-style formatting into a std::string, for the station's lines and
// pages (GNU conversions: mingw's C++ runtime formats them as glibc does).
#pragma once

#include <string>

#if defined(__clang__)
#define PENDREL_PRINTF_LIKE __attribute__((format(printf, 1, 2)))
#elif defined(__GNUC__)
#define PENDREL_PRINTF_LIKE __attribute__((format(gnu_printf, 1, 2)))
#else
#define PENDREL_PRINTF_LIKE
#endif

// The whole text, however long.
std::string Printf(const char* format, ...) PENDREL_PRINTF_LIKE;
