// The length of an open data file, from the C runtime's own descriptor: the
// name the user typed is never looked at again, so whatever code page it
// was given in, the file that opened is the file that is measured.
#pragma once

#include <cstdint>
#include <cstdio>

// 64-bit on every system; false when the stream is not a regular file (a
// directory opens for reading on POSIX) or its length cannot be read.
bool RegularFileLength(std::FILE* file, uint64_t* length);
