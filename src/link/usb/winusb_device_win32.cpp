// WinUSB.DLL, loaded at run time from the system folder, and SetupAPI for the device search.
#include <windows.h>
#include <setupapi.h>
#include <winusb.h>

#include <array>

#include "base/status.h"
#include "link/usb/usb_setupapi_win32.h"
#include "link/usb/winusb_device.h"

namespace {

// All 22 are required, looked up in this order; nine are called.
enum WinUsbEntry {
  kInitialize,
  kFree,
  kGetAssociatedInterface,
  kGetDescriptor,
  kQueryInterfaceSettings,
  kQueryDeviceInformation,
  kSetCurrentAlternateSetting,
  kGetCurrentAlternateSetting,
  kQueryPipe,
  kSetPipePolicy,
  kGetPipePolicy,
  kReadPipe,
  kWritePipe,
  kControlTransfer,
  kResetPipe,
  kAbortPipe,
  kFlushPipe,
  kSetPowerPolicy,
  kGetPowerPolicy,
  kGetOverlappedResult,
  kParseConfigurationDescriptor,
  kParseDescriptors,
  kWinUsbEntryCount
};

constexpr const char* kWinUsbEntryNames[kWinUsbEntryCount] = {"WinUsb_Initialize",
                                                              "WinUsb_Free",
                                                              "WinUsb_GetAssociatedInterface",
                                                              "WinUsb_GetDescriptor",
                                                              "WinUsb_QueryInterfaceSettings",
                                                              "WinUsb_QueryDeviceInformation",
                                                              "WinUsb_SetCurrentAlternateSetting",
                                                              "WinUsb_GetCurrentAlternateSetting",
                                                              "WinUsb_QueryPipe",
                                                              "WinUsb_SetPipePolicy",
                                                              "WinUsb_GetPipePolicy",
                                                              "WinUsb_ReadPipe",
                                                              "WinUsb_WritePipe",
                                                              "WinUsb_ControlTransfer",
                                                              "WinUsb_ResetPipe",
                                                              "WinUsb_AbortPipe",
                                                              "WinUsb_FlushPipe",
                                                              "WinUsb_SetPowerPolicy",
                                                              "WinUsb_GetPowerPolicy",
                                                              "WinUsb_GetOverlappedResult",
                                                              "WinUsb_ParseConfigurationDescriptor",
                                                              "WinUsb_ParseDescriptors"};

using InitializeFn = BOOL(WINAPI*)(HANDLE, PWINUSB_INTERFACE_HANDLE);
using FreeFn = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE);
using GetDescriptorFn = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, UCHAR, UCHAR, USHORT, PUCHAR, ULONG, PULONG);
using QueryInterfaceSettingsFn = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, UCHAR, PUSB_INTERFACE_DESCRIPTOR);
using QueryPipeFn = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, UCHAR, UCHAR, PWINUSB_PIPE_INFORMATION);
using SetPipePolicyFn = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, UCHAR, ULONG, ULONG, PVOID);
using PipeTransferFn = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR, ULONG, PULONG, LPOVERLAPPED);
using AbortPipeFn = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, UCHAR);
using GetOverlappedResultFn = BOOL(WINAPI*)(WINUSB_INTERFACE_HANDLE, LPOVERLAPPED, LPDWORD, BOOL);

// {ED48CB1D-D414-4427-B35F-5109F4305785}
constexpr GUID kTaloInterfaceClass = {
    0xED48CB1D, 0xD414, 0x4427, {0xB3, 0x5F, 0x51, 0x09, 0xF4, 0x30, 0x57, 0x85}};
constexpr UCHAR kDeviceDescriptorType = 1;
constexpr ULONG kDeviceDescriptorSize = 18;

// The entry points we call, typed once when the library is loaded.
struct WinUsbDll {
  HMODULE module = nullptr;
  InitializeFn initialize = nullptr;
  FreeFn free = nullptr;
  GetDescriptorFn getDescriptor = nullptr;
  QueryInterfaceSettingsFn queryInterfaceSettings = nullptr;
  QueryPipeFn queryPipe = nullptr;
  SetPipePolicyFn setPipePolicy = nullptr;
  PipeTransferFn readPipe = nullptr;
  PipeTransferFn writePipe = nullptr;
  AbortPipeFn abortPipe = nullptr;
  GetOverlappedResultFn getOverlappedResult = nullptr;
};
WinUsbDll gUsb;

// The one open device: its overlapped file handle, its WinUSB interface and
// the event of the reader's overlapped reads.
struct OpenDevice {
  HANDLE file = INVALID_HANDLE_VALUE;
  WINUSB_INTERFACE_HANDLE usb = nullptr;
  HANDLE readEvent = nullptr;
};
OpenDevice gDevice;

void Unload() {
  if (gUsb.module != nullptr) FreeLibrary(gUsb.module);
  gUsb = WinUsbDll{};
}

bool Load() {
  if (gUsb.module != nullptr) return true;
  HMODULE module = nullptr;
  std::array<FARPROC, kWinUsbEntryCount> entry{};
  if (!LoadEntryPoints("WinUSB.DLL", kWinUsbEntryNames, kWinUsbEntryCount, &module, entry.data())) {
    Unload();
    return false;
  }
  gUsb = WinUsbDll{
      .module = module,
      .initialize = EntryAs<InitializeFn>(entry[kInitialize]),
      .free = EntryAs<FreeFn>(entry[kFree]),
      .getDescriptor = EntryAs<GetDescriptorFn>(entry[kGetDescriptor]),
      .queryInterfaceSettings = EntryAs<QueryInterfaceSettingsFn>(entry[kQueryInterfaceSettings]),
      .queryPipe = EntryAs<QueryPipeFn>(entry[kQueryPipe]),
      .setPipePolicy = EntryAs<SetPipePolicyFn>(entry[kSetPipePolicy]),
      .readPipe = EntryAs<PipeTransferFn>(entry[kReadPipe]),
      .writePipe = EntryAs<PipeTransferFn>(entry[kWritePipe]),
      .abortPipe = EntryAs<AbortPipeFn>(entry[kAbortPipe]),
      .getOverlappedResult = EntryAs<GetOverlappedResultFn>(entry[kGetOverlappedResult]),
  };
  return true;
}

HANDLE OpenOverlapped(const char* path) {
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

struct Walk {
  WinUsbVisit visit;
  void* context;
};

bool VisitInterface(void* context, const char* path, const DeviceNode& node) {
  const Walk& walk = *static_cast<Walk*>(context);
  const UsbPlace place = UsbPlaceOf(node);
  const UsbDeviceNames names{.path = path,
                             .location = place.location,
                             .locationInfo = place.locationInfo,
                             .serial = place.instanceSerial,
                             .ignoreCase = true};
  // WinUSB lets one program at a time open a device: one this run may not
  // take is never opened, so that another run's open cannot meet our search.
  if (!UsbSelectionAllows(names)) return false;
  HANDLE h = OpenOverlapped(path);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool accepted = false;
  WINUSB_INTERFACE_HANDLE candidate = nullptr;
  if (gUsb.initialize(h, &candidate)) {
    UCHAR descriptor[kDeviceDescriptorSize] = {};
    ULONG transferred = 0;
    if (gUsb.getDescriptor(candidate, kDeviceDescriptorType, 0, 0, descriptor, kDeviceDescriptorSize,
                           &transferred)) {
      if (transferred > kDeviceDescriptorSize) transferred = kDeviceDescriptorSize;
      accepted = walk.visit(walk.context, names, std::span<const uint8_t>(descriptor, transferred));
    }
    gUsb.free(candidate);
  }
  CloseHandle(h);
  return accepted;
}

bool Enumerate(WinUsbVisit visit, void* context) {
  Walk walk{visit, context};
  return WalkDeviceInterfaces(kTaloInterfaceClass, VisitInterface, &walk);
}

bool Open(const char* path) {
  OpenDevice opened;
  opened.file = OpenOverlapped(path);
  if (opened.file == INVALID_HANDLE_VALUE) return false;
  if (!gUsb.initialize(opened.file, &opened.usb) ||
      (opened.readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr)) == nullptr) {
    DWORD error = GetLastError();
    if (opened.usb != nullptr) gUsb.free(opened.usb);
    CloseHandle(opened.file);
    SetLastError(error);
    return false;
  }
  gDevice = opened;
  return true;
}

bool QueryInterface(uint8_t* endpointCount) {
  USB_INTERFACE_DESCRIPTOR descriptor{};
  if (!gUsb.queryInterfaceSettings(gDevice.usb, 0, &descriptor)) {
    return false;
  }
  *endpointCount = descriptor.bNumEndpoints;
  return true;
}

bool QueryPipe(uint8_t index, WinUsbPipeInfo* pipe) {
  WINUSB_PIPE_INFORMATION info{};
  if (!gUsb.queryPipe(gDevice.usb, 0, index, &info)) return false;
  *pipe = {static_cast<uint8_t>(info.PipeType), info.PipeId, info.MaximumPacketSize};
  return true;
}

bool SetPipeTimeout(uint8_t pipe, uint32_t milliseconds) {
  ULONG value = milliseconds;
  return gUsb.setPipePolicy(gDevice.usb, pipe, PIPE_TRANSFER_TIMEOUT, sizeof value, &value) != FALSE;
}

bool Write(uint8_t pipe, const uint8_t* bytes, uint32_t count, uint32_t* written) {
  UCHAR none = 0;
  ULONG moved = 0;
  BOOL ok =
      gUsb.writePipe(gDevice.usb, pipe, count ? const_cast<PUCHAR>(bytes) : &none, count, &moved, nullptr);
  *written = moved;
  return ok != FALSE;
}

UsbReadOutcome Read(uint8_t pipe, uint8_t* buffer, uint32_t capacity, uint32_t* got, UsbHandle stop) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = gDevice.readEvent;
  ResetEvent(overlapped.hEvent);
  ULONG n = 0;
  *got = 0;
  if (gUsb.readPipe(gDevice.usb, pipe, buffer, capacity, &n, &overlapped)) {
    *got = n;
    return UsbReadOutcome::Data;
  }
  if (GetLastError() != ERROR_IO_PENDING) return UsbReadOutcome::Failed;
  // Given up, the transfer is aborted on its pipe (WinUSB has no CancelIo).
  return FinishPendingRead(
      overlapped, stop, got,
      [&](DWORD* done) { return gUsb.getOverlappedResult(gDevice.usb, &overlapped, done, TRUE) != FALSE; },
      [&] { gUsb.abortPipe(gDevice.usb, pipe); });
}

void Release() {
  if (gDevice.usb != nullptr) gUsb.free(gDevice.usb);
  if (gDevice.file != INVALID_HANDLE_VALUE) CloseHandle(gDevice.file);
  if (gDevice.readEvent != nullptr) CloseHandle(gDevice.readEvent);
  gDevice = OpenDevice{};
}

}  // namespace

const WinUsbDeviceApi kSystemWinUsbDevice = {
    .load = Load,
    .unload = Unload,
    .enumerate = Enumerate,
    .open = Open,
    .queryInterface = QueryInterface,
    .queryPipe = QueryPipe,
    .setPipeTimeout = SetPipeTimeout,
    .write = Write,
    .read = Read,
    .release = Release,
    .createStop = Win32CreateStop,
    .raiseStop = Win32RaiseStop,
    .destroyStop = Win32DestroyStop,
};
