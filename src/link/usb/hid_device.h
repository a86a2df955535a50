// The operating system's side of the USB HID link, as a table of entry
// points. hid_link.cpp owns every decision (statuses, retries, report
// packing, the reader's walk); an entry only translates system calls.
// A failing entry leaves the system's error number set (GetLastError or
// errno) for the status the caller records next, except where it records a
// status itself, as said below.
#pragma once

#include <cstdint>
#include <string_view>

#include "link/usb/usb_common.h"

enum class HidWriteOutcome {
  Written,     // the call succeeded; *written says how many bytes went out
  DeviceGone,  // the device no longer exists (ERROR_DEV_NOT_EXIST, ENODEV)
  Failed,      // any other failure; worth another attempt
  TimedOut,    // the device did not take the report in time (it may later)
};

// Called once per present HID interface that could be opened and queried, in
// the system's order, with its names (path; the USB device's port and serial
// number, as far as the system gives them) and its product string (UTF-16,
// without the terminator). Returning true ends the walk.
using HidVisit = bool (*)(void* context, const UsbDeviceNames& names, std::u16string_view product);

struct HidDeviceApi {
  // Makes the system's HID support usable (loads HID.DLL and its entry
  // points). A no-op when already done. On failure it has recorded
  // kStatusUsbDllLoadFailed or kStatusUsbDllEntryMissing and returns false.
  // Does not block.
  bool (*load)();
  // Undoes load; harmless when not loaded.
  void (*unload)();
  // Walks the present HID interfaces, calling visit for each. Returns false
  // when the enumeration itself fails, having recorded kStatusUsbNoDeviceList
  // (no device list) or kStatusUsbEnumerationFailed (the walk broke off with
  // a system error); true otherwise, whether or not visit accepted a device.
  bool (*enumerate)(HidVisit visit, void* context);
  // Opens the device for blocking report writes, asks the driver to keep 32
  // input reports, and returns both report lengths (report ID byte
  // included). kNoUsbHandle on any failure.
  UsbHandle (*openWrite)(const char* path, uint16_t* inputLength, uint16_t* outputLength);
  // Writes one whole report; waits until the driver has taken it or failed,
  // on hidraw at most timeoutMs: TimedOut then, with the report still on its
  // way. (Windows' blocking WriteFile has no bound but the driver's.)
  HidWriteOutcome (*write)(UsbHandle handle, const uint8_t* report, uint32_t length, uint32_t* written,
                           uint32_t timeoutMs);
  void (*closeWrite)(UsbHandle handle);
  // The reader's own handle to the same device, set up for reads that the
  // stop signal can end; 32 input buffers. kNoUsbHandle on failure.
  UsbHandle (*openRead)(const char* path, uint16_t inputLength);
  // Blocks until at least one input report has arrived, the stop signal is
  // raised, or the device fails. Fills `buffer` with whole reports of
  // inputLength bytes each (report ID first, 0 for a device without report
  // IDs), at most capacity / inputLength of them, and sets *got to their
  // total length. On Stopped the layer has cancelled its pending read and
  // waited for it to end, so the caller may free the buffer at once.
  UsbReadOutcome (*read)(UsbHandle handle, uint8_t* buffer, uint32_t capacity, uint32_t* got, UsbHandle stop);
  void (*closeRead)(UsbHandle handle);
  // The stop signal: created lowered; raising it ends the current or next
  // read with Stopped. Raise may be called from any thread.
  UsbHandle (*createStop)();
  void (*raiseStop)(UsbHandle stop);
  void (*destroyStop)(UsbHandle stop);
};

// The system's table: hid_device_linux.cpp or hid_device_win32.cpp.
extern const HidDeviceApi kSystemHidDevice;

// Tests install a fake table; nullptr puts the system's back.
void InstallHidDeviceApi(const HidDeviceApi* api);

// The pieces of the link's logic that tests look at directly.
inline constexpr size_t kHidMaxReportLength = 65;
inline constexpr size_t kHidReportsPerRead = 32;
// Unpacks `got` bytes of input reports of `reportLength` bytes into the ring
// (lock held): byte 0 of a report is its ID, byte 1 its payload count.
void HidUnpackInput(ReceiveRing& ring, const uint8_t* bytes, uint32_t got, uint16_t reportLength);
bool HidIsOpen();
// True while the reader thread is running (tests wait on it).
bool HidReaderRunning();
