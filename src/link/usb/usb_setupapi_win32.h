// The SetupAPI device-interface walk both Windows USB layers share.
#pragma once

#include <windows.h>

// Calls visit(context, devicePath) for each present interface of `cls`, in
// enumeration order, until visit returns true. Records kStatusUsbNoDeviceList
// when no device list can be had and kStatusUsbEnumerationFailed when the walk
// breaks off with a system error other than ERROR_NO_MORE_ITEMS; returns false
// in both cases.
bool WalkDeviceInterfaces(const GUID& cls, bool (*visit)(void* context, const char* path),
                          void* context);

// Loads `dll` by name and looks up `count` entry points by name, in order,
// into `entries`. Records kStatusUsbDllLoadFailed when the library cannot be
// loaded and kStatusUsbDllEntryMissing when an entry point is missing; the
// library is freed again then.
bool LoadEntryPoints(const char* dll, const char* const* names, int count, HMODULE* module,
                     FARPROC* entries);

// Casts a run-time looked-up entry point to its type. The detour through
// void (*)() is the one cast GCC accepts between unrelated function types.
template <typename Function>
Function EntryAs(FARPROC entry) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(entry));
}
