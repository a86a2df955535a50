// HID.DLL, loaded at run time from the system folder, and SetupAPI for the device search.
#include <windows.h>
#include <hidsdi.h>
#include <setupapi.h>

#include <array>
#include <cwchar>
#include <string>

#include "base/status.h"
#include "link/usb/hid_device.h"
#include "link/usb/usb_setupapi_win32.h"

namespace {

// All ten are required, looked up in this order; seven are called.
enum HidEntry {
  kGetHidGuid,
  kGetAttributes,
  kSetFeature,
  kGetFeature,
  kGetManufacturerString,
  kGetProductString,
  kGetSerialNumberString,
  kSetNumInputBuffers,
  kGetPreparsedData,
  kGetCaps,
  kHidEntryCount
};

constexpr const char* kHidEntryNames[kHidEntryCount] = {"HidD_GetHidGuid",
                                                        "HidD_GetAttributes",
                                                        "HidD_SetFeature",
                                                        "HidD_GetFeature",
                                                        "HidD_GetManufacturerString",
                                                        "HidD_GetProductString",
                                                        "HidD_GetSerialNumberString",
                                                        "HidD_SetNumInputBuffers",
                                                        "HidD_GetPreparsedData",
                                                        "HidP_GetCaps"};

using GetHidGuidFn = void(WINAPI*)(LPGUID);
using GetAttributesFn = BOOLEAN(WINAPI*)(HANDLE, PHIDD_ATTRIBUTES);
using GetStringFn = BOOLEAN(WINAPI*)(HANDLE, PVOID, ULONG);
using SetNumInputBuffersFn = BOOLEAN(WINAPI*)(HANDLE, ULONG);
using GetPreparsedDataFn = BOOLEAN(WINAPI*)(HANDLE, PHIDP_PREPARSED_DATA*);
using FreePreparsedDataFn = BOOLEAN(WINAPI*)(PHIDP_PREPARSED_DATA);
using GetCapsFn = NTSTATUS(WINAPI*)(PHIDP_PREPARSED_DATA, PHIDP_CAPS);

// The entry points we call, typed once when the library is loaded.
struct HidDll {
  HMODULE module = nullptr;
  GetHidGuidFn getHidGuid = nullptr;
  GetAttributesFn getAttributes = nullptr;
  GetStringFn getProductString = nullptr;
  GetStringFn getSerialNumberString = nullptr;
  SetNumInputBuffersFn setNumInputBuffers = nullptr;
  GetPreparsedDataFn getPreparsedData = nullptr;
  GetCapsFn getCaps = nullptr;
  // Not one of the required ten; used when present so the preparsed data
  // the open asks for is handed back.
  FreePreparsedDataFn freePreparsedData = nullptr;
};
HidDll gHid;

constexpr ULONG kInputBuffers = 32;
constexpr ULONG kStringBytes = 128;

// The reader's overlapped read needs an event of its own, which lives as
// long as the read handle.
struct ReadSide {
  HANDLE file = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;
};
ReadSide gRead;

void Unload() {
  if (gHid.module != nullptr) FreeLibrary(gHid.module);
  gHid = HidDll{};
}

bool Load() {
  if (gHid.module != nullptr) return true;
  HMODULE module = nullptr;
  std::array<FARPROC, kHidEntryCount> entry{};
  if (!LoadEntryPoints("HID.DLL", kHidEntryNames, kHidEntryCount, &module, entry.data())) {
    Unload();
    return false;
  }
  gHid = HidDll{
      .module = module,
      .getHidGuid = EntryAs<GetHidGuidFn>(entry[kGetHidGuid]),
      .getAttributes = EntryAs<GetAttributesFn>(entry[kGetAttributes]),
      .getProductString = EntryAs<GetStringFn>(entry[kGetProductString]),
      .getSerialNumberString = EntryAs<GetStringFn>(entry[kGetSerialNumberString]),
      .setNumInputBuffers = EntryAs<SetNumInputBuffersFn>(entry[kSetNumInputBuffers]),
      .getPreparsedData = EntryAs<GetPreparsedDataFn>(entry[kGetPreparsedData]),
      .getCaps = EntryAs<GetCapsFn>(entry[kGetCaps]),
      .freePreparsedData = EntryAs<FreePreparsedDataFn>(GetProcAddress(module, "HidD_FreePreparsedData")),
  };
  return true;
}

struct Walk {
  HidVisit visit;
  void* context;
};

// A string of the device (UTF-16), cut at its terminator: one that fills
// the buffer comes without.
std::u16string DeviceString(HANDLE h, GetStringFn get) {
  wchar_t text[kStringBytes / 2] = {};
  if (!get(h, text, kStringBytes)) return u"";
  return std::u16string(reinterpret_cast<const char16_t*>(text), wcsnlen(text, kStringBytes / 2));
}

std::string Utf8(const std::u16string& text) {
  if (text.empty()) return "";
  const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
  const int length = static_cast<int>(text.size());
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) WideCharToMultiByte(CP_UTF8, 0, wide, length, out.data(), n, nullptr, nullptr);
  return out;
}

bool VisitInterface(void* context, const char* path, const DeviceNode& node) {
  const Walk& walk = *static_cast<Walk*>(context);
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool accepted = false;
  HIDD_ATTRIBUTES attributes{};
  attributes.Size = sizeof attributes;
  if (gHid.getAttributes(h, &attributes)) {
    const std::u16string product = DeviceString(h, gHid.getProductString);
    const std::string serial =
        UsbSelectionNeedsSerial() ? Utf8(DeviceString(h, gHid.getSerialNumberString)) : std::string();
    const UsbPlace place = UsbPlaceOf(node);
    const UsbDeviceNames names{.path = path,
                               .location = place.location,
                               .locationInfo = place.locationInfo,
                               .serial = serial,
                               .ignoreCase = true};
    accepted = walk.visit(walk.context, names, product);
  }
  CloseHandle(h);
  return accepted;
}

bool Enumerate(HidVisit visit, void* context) {
  GUID cls;
  gHid.getHidGuid(&cls);
  Walk walk{visit, context};
  return WalkDeviceInterfaces(cls, VisitInterface, &walk);
}

UsbHandle OpenWrite(const char* path, uint16_t* inputLength, uint16_t* outputLength) {
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kNoUsbHandle;
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  HIDP_CAPS caps{};
  bool ok = gHid.getPreparsedData(h, &preparsed) && gHid.getCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS &&
            gHid.setNumInputBuffers(h, kInputBuffers);
  DWORD error = GetLastError();
  if (preparsed != nullptr && gHid.freePreparsedData != nullptr) {
    gHid.freePreparsedData(preparsed);
  }
  if (!ok) {
    CloseHandle(h);
    SetLastError(error);
    return kNoUsbHandle;
  }
  *inputLength = caps.InputReportByteLength;
  *outputLength = caps.OutputReportByteLength;
  return FromHandle(h);
}

HidWriteOutcome Write(UsbHandle handle, const uint8_t* report, uint32_t length, uint32_t* written, uint32_t) {
  DWORD moved = 0;
  if (WriteFile(ToHandle(handle), report, length, &moved, nullptr)) {
    *written = moved;
    return HidWriteOutcome::Written;
  }
  return GetLastError() == ERROR_DEV_NOT_EXIST ? HidWriteOutcome::DeviceGone : HidWriteOutcome::Failed;
}

void CloseWrite(UsbHandle handle) { CloseHandle(ToHandle(handle)); }

UsbHandle OpenRead(const char* path, uint16_t) {
  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return kNoUsbHandle;
  HANDLE event = nullptr;
  if (!gHid.setNumInputBuffers(h, kInputBuffers) ||
      (event = CreateEventA(nullptr, TRUE, FALSE, nullptr)) == nullptr) {
    DWORD error = GetLastError();
    CloseHandle(h);
    SetLastError(error);
    return kNoUsbHandle;
  }
  gRead = ReadSide{h, event};
  return FromHandle(h);
}

UsbReadOutcome Read(UsbHandle handle, uint8_t* buffer, uint32_t capacity, uint32_t* got, UsbHandle stop) {
  HANDLE file = ToHandle(handle);
  OVERLAPPED overlapped{};
  overlapped.hEvent = gRead.event;
  ResetEvent(overlapped.hEvent);
  DWORD n = 0;
  *got = 0;
  if (ReadFile(file, buffer, capacity, &n, &overlapped)) {
    *got = n;
    return UsbReadOutcome::Data;
  }
  if (GetLastError() != ERROR_IO_PENDING) return UsbReadOutcome::Failed;
  return FinishPendingRead(
      overlapped, stop, got,
      [&](DWORD* done) { return GetOverlappedResult(file, &overlapped, done, TRUE) != FALSE; },
      [&] { CancelIo(file); });
}

void CloseRead(UsbHandle handle) {
  CloseHandle(ToHandle(handle));
  if (gRead.event != nullptr) CloseHandle(gRead.event);
  gRead = ReadSide{};
}

}  // namespace

const HidDeviceApi kSystemHidDevice = {
    .load = Load,
    .unload = Unload,
    .enumerate = Enumerate,
    .openWrite = OpenWrite,
    .write = Write,
    .closeWrite = CloseWrite,
    .openRead = OpenRead,
    .read = Read,
    .closeRead = CloseRead,
    .createStop = Win32CreateStop,
    .raiseStop = Win32RaiseStop,
    .destroyStop = Win32DestroyStop,
};
