#include "link/usb/usb_setupapi_win32.h"

#include <setupapi.h>

#include <cstring>
#include <vector>

#include "base/status.h"

bool WalkDeviceInterfaces(const GUID& cls, bool (*visit)(void* context, const char* path), void* context) {
  HDEVINFO set = SetupDiGetClassDevsA(&cls, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return SetLastStatus(kStatusUsbNoDeviceList) != 0;
  bool ok = true;
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA entry{};
    entry.cbSize = sizeof entry;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &cls, index, &entry)) {
      if (GetLastError() != ERROR_NO_MORE_ITEMS) ok = SetLastStatus(kStatusUsbEnumerationFailed) != 0;
      break;
    }
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &entry, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) continue;
    std::vector<unsigned char> storage(required);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
    // The fixed part only: 5 bytes in a 32-bit process.
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!SetupDiGetDeviceInterfaceDetailA(set, &entry, detail, required, nullptr, nullptr)) {
      continue;
    }
    if (visit(context, detail->DevicePath)) break;
  }
  SetupDiDestroyDeviceInfoList(set);
  return ok;
}

HMODULE LoadSystemLibrary(const char* name) {
  char path[MAX_PATH];
  const UINT folder = GetSystemDirectoryA(path, MAX_PATH);
  const size_t length = std::strlen(name);
  if (folder == 0 || folder + 1 + length >= MAX_PATH) {
    if (folder != 0) SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  path[folder] = '\\';
  std::memcpy(path + folder + 1, name, length + 1);
  return LoadLibraryA(path);
}

bool LoadEntryPoints(const char* dll, const char* const* names, int count, HMODULE* module,
                     FARPROC* entries) {
  *module = LoadSystemLibrary(dll);
  if (*module == nullptr) return SetLastStatus(kStatusUsbDllLoadFailed) != 0;
  for (int i = 0; i < count; ++i) {
    entries[i] = GetProcAddress(*module, names[i]);
    if (entries[i] == nullptr) {
      SetLastStatus(kStatusUsbDllEntryMissing);
      FreeLibrary(*module);
      *module = nullptr;
      return false;
    }
  }
  return true;
}

UsbHandle Win32CreateStop() {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return kNoUsbHandle;
  ResetEvent(event);
  return FromHandle(event);
}

void Win32RaiseStop(UsbHandle stop) { SetEvent(ToHandle(stop)); }
void Win32DestroyStop(UsbHandle stop) { CloseHandle(ToHandle(stop)); }
