// What both Windows USB layers share: the SetupAPI device-interface walk,
// the run-time loading of their DLL, the stop signal and the end of an
// overlapped read.
#pragma once

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstdint>
#include <string>

#include "link/usb/usb_common.h"

// A device node as SetupAPI hands it out: the list it is in and its record.
struct DeviceNode {
  HDEVINFO set;
  SP_DEVINFO_DATA data;
};

// Calls visit(context, devicePath, deviceNode) for each present interface of
// `cls`, in enumeration order, until visit returns true. Records
// kStatusUsbNoDeviceList when no device list can be had and
// kStatusUsbEnumerationFailed when the walk breaks off with a system error
// other than ERROR_NO_MORE_ITEMS; returns false in both cases.
bool WalkDeviceInterfaces(const GUID& cls,
                          bool (*visit)(void* context, const char* path, const DeviceNode& node),
                          void* context);

// What the system says of the USB device an interface's device node belongs
// to: the node itself or the nearest one above it whose instance ID begins
// with "USB\" and names no interface (&MI_); a HID collection's is its
// parent, or its grandparent on a composite device. Empty where there is
// none.
struct UsbPlace {
  std::string location;        // the first of its location paths
  std::string locationInfo;    // its location information
  std::string instanceSerial;  // the serial number its instance ID ends with
};
UsbPlace UsbPlaceOf(const DeviceNode& node);

// Loads a DLL of the system by its full path in the system folder, never
// from the program's or the current folder, where anyone could have put a
// DLL of that name. nullptr on failure, the system's error set.
HMODULE LoadSystemLibrary(const char* name);

// Loads `dll` from the system folder and looks up `count` entry points by
// name, in order, into `entries`. Records kStatusUsbDllLoadFailed when the
// library cannot be loaded and kStatusUsbDllEntryMissing when an entry point
// is missing; the library is freed again then.
bool LoadEntryPoints(const char* dll, const char* const* names, int count, HMODULE* module, FARPROC* entries);

// Casts a run-time looked-up entry point to its type. The detour through
// void (*)() is the one cast GCC accepts between unrelated function types.
template <typename Function>
Function EntryAs(FARPROC entry) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(entry));
}

inline UsbHandle FromHandle(HANDLE h) { return reinterpret_cast<UsbHandle>(h); }
inline HANDLE ToHandle(UsbHandle h) { return reinterpret_cast<HANDLE>(h); }

// The stop signal of both layers: a manual-reset event, created lowered.
UsbHandle Win32CreateStop();
void Win32RaiseStop(UsbHandle stop);
void Win32DestroyStop(UsbHandle stop);

// Ends an overlapped read that the system left pending on `overlapped`:
// waits for it or for the stop signal. result(&done) waits for the read's
// end and says whether it succeeded; cancel() asks the system to give the
// read up. Whatever woke the wait, the read has ended when this returns, so
// its buffer may be freed at once.
template <typename Result, typename Cancel>
UsbReadOutcome FinishPendingRead(OVERLAPPED& overlapped, UsbHandle stop, uint32_t* got, Result result,
                                 Cancel cancel) {
  HANDLE waits[2] = {overlapped.hEvent, ToHandle(stop)};
  DWORD woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
  DWORD done = 0;
  if (woke == WAIT_OBJECT_0) {
    if (!result(&done)) return UsbReadOutcome::Failed;
    *got = done;
    return UsbReadOutcome::Data;
  }
  DWORD error = GetLastError();
  cancel();
  result(&done);
  if (woke == WAIT_OBJECT_0 + 1) return UsbReadOutcome::Stopped;
  SetLastError(error);
  return UsbReadOutcome::Failed;
}
