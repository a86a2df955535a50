// The operating system's side of the status record: which error number the
// calling thread saw last, and the system's text for a number.
#pragma once

#include <cstddef>
#include <cstdint>

uint32_t CaptureSystemError();  // GetLastError / errno
uint32_t CaptureSocketError();  // WSAGetLastError / errno
// Writes the system's message for `error` (no trailing line break) into
// `out`, at most `capacity` - 1 characters and a terminator; returns the
// length written, 0 when the system has no text for the number.
size_t SystemErrorText(uint32_t error, char* out, size_t capacity);
