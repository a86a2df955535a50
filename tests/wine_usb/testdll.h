// What the test hid.dll and winusb.dll share: which simulated device a file
// handle reaches, the questions to the device host, and the log of every
// call they get (the tests read it to see which calls pendrel.exe made, in
// which order, with which values).
#pragma once

#include <windows.h>

#include <cstdint>

#include "wire.h"

namespace testdll {

// The number of the host's device that `file` is open on; false, with
// ERROR_INVALID_HANDLE set, for any other handle: the DLLs never touch
// anything but the host's pipes.
bool DeviceOf(HANDLE file, uint32_t* device);

// Asks the host; false with the error set when it cannot be reached.
bool Ask(const wire::Request& request, uint32_t requestSize, void* answer, uint32_t answerSize);

// DeviceOf and a kDescribe; false with the error set (the device's own
// error when it is unplugged).
bool Describe(HANDLE file, uint32_t* device, wire::Description* description);

// Appends one line to the call log; leaves the thread's last error alone.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// An entry point pendrel.exe must never call: logged, and it fails.
BOOL Unexpected(const char* name);

// Copies a UTF-16 string into a caller's buffer of `bytes` bytes, with its
// terminator when it fits (a string that fills the buffer comes without).
void CopyString(const uint16_t* text, void* buffer, ULONG bytes);

}  // namespace testdll
