// The operating system's side of the USB bulk link, as a table of entry
// points: WinUSB.DLL on Windows, libusb-1.0 on Linux. winusb_link.cpp owns
// every decision (device match, pipe choice, statuses, the policy cache);
// an entry only translates system calls. A failing entry leaves the
// system's error number set, except where it records a status itself.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "link/usb/usb_common.h"

// What the pipe query tells of one endpoint of alternate setting 0.
struct WinUsbPipeInfo {
  uint8_t pipeType;  // 0 control, 1 isochronous, 2 bulk, 3 interrupt
  uint8_t pipeId;    // endpoint address; bit 7 set for IN
  uint16_t maximumPacketSize;
};

inline constexpr uint8_t kUsbPipeTypeBulk = 2;

// Called once per candidate device in the system's order, with its names
// (path; port and serial number as far as the system gives them) and the
// bytes of its device descriptor as far as they could be read (possibly
// fewer than 18). Returning true ends the walk.
using WinUsbVisit = bool (*)(void* context, const UsbDeviceNames& names,
                             std::span<const uint8_t> deviceDescriptor);

struct WinUsbDeviceApi {
  // Makes the system's USB support usable (WinUSB.DLL and its 22 entry
  // points; libusb_init). A no-op when already done. On failure it has
  // recorded kStatusUsbDllLoadFailed / kStatusUsbDllEntryMissing (Windows) or
  // kStatusUsbLibraryInitFailed (Linux) and returns false.
  bool (*load)();
  void (*unload)();
  // Walks the candidate devices, calling visit for each whose descriptor
  // could be read. false when the enumeration itself fails, having recorded
  // kStatusUsbNoDeviceList or kStatusUsbEnumerationFailed; true otherwise.
  bool (*enumerate)(WinUsbVisit visit, void* context);
  // Opens the device for both directions (overlapped file handle and WinUSB
  // interface; libusb handle with its bulk interface claimed); false on
  // failure. The layer holds this one device until release: the calls
  // below act on it, so they take no device handle.
  bool (*open)(const char* path);
  // The endpoint count of alternate setting 0; false when it can't be read.
  bool (*queryInterface)(uint8_t* endpointCount);
  bool (*queryPipe)(uint8_t index, WinUsbPipeInfo* pipe);
  // Sets the transfer time-out of one pipe for the writes that follow.
  bool (*setPipeTimeout)(uint8_t pipe, uint32_t milliseconds);
  // One synchronous bulk OUT transfer of `count` bytes (0 sends a
  // zero-length packet); blocks at most the pipe's time-out. false when the
  // transfer failed or timed out; *written says how many bytes went out.
  bool (*write)(uint8_t pipe, const uint8_t* bytes, uint32_t count, uint32_t* written);
  // One bulk IN read of up to `capacity` bytes. Blocks until data, the stop
  // signal, or a failure. On Stopped the layer has aborted the pending
  // transfer and waited for it to end, so the buffer may be freed at once.
  // May run on the reader thread while write runs on the main thread.
  UsbReadOutcome (*read)(uint8_t pipe, uint8_t* buffer, uint32_t capacity, uint32_t* got, UsbHandle stop);
  // Releases what open acquired. Never called while a read or write on the
  // device is in progress.
  void (*release)();
  // The stop signal, as for the HID layer. Its token is real: an event
  // HANDLE on Windows, the address of the layer's stop flag with libusb.
  UsbHandle (*createStop)();
  void (*raiseStop)(UsbHandle stop);
  void (*destroyStop)(UsbHandle stop);
};

// The system's table: winusb_device_linux.cpp or winusb_device_win32.cpp.
extern const WinUsbDeviceApi kSystemWinUsbDevice;

// Tests install a fake table; nullptr puts the system's back.
void InstallWinUsbDeviceApi(const WinUsbDeviceApi* api);

inline constexpr uint16_t kTaloVendorId = 0x0483;
inline constexpr uint16_t kTaloProductIds[] = {0x1511, 0x1512, 0x1513};
inline constexpr uint32_t kWinUsbPacketsPerRead = 32;

// True for a Talo bulk device; a descriptor too short to hold idVendor and
// idProduct (12 bytes) never matches.
bool WinUsbDescriptorMatches(std::span<const uint8_t> deviceDescriptor);
bool WinUsbIsOpen();
bool WinUsbReaderRunning();
