#include "link/usb/usb_setupapi_win32.h"

#include <setupapi.h>

#include <cctype>
#include <cstring>
#include <vector>

#include "base/status.h"

bool WalkDeviceInterfaces(const GUID& cls, bool (*visit)(void* context, const char* path, DEVINST node),
                          void* context) {
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
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!SetupDiGetDeviceInterfaceDetailA(set, &entry, detail, required, nullptr, &device)) {
      continue;
    }
    if (visit(context, detail->DevicePath, device.DevInst)) break;
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

namespace {

// Deep enough for a controller behind several hubs and a composite device.
constexpr int kMaxNodeDepth = 16;

std::string DeviceId(DEVINST node) {
  char id[MAX_DEVICE_ID_LEN + 1] = {};
  if (CM_Get_Device_IDA(node, id, sizeof id, 0) != CR_SUCCESS) return "";
  return id;
}

bool IsUsbDeviceId(std::string id) {
  for (char& c : id) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return id.rfind("USB\\", 0) == 0 && id.find("&MI_") == std::string::npos;
}

// A text property of a device node; of a list of texts, the first.
std::string NodeProperty(DEVINST node, ULONG property) {
  char text[1024] = {};
  ULONG size = sizeof text - 2;  // room for a list's two terminators
  if (CM_Get_DevNode_Registry_PropertyA(node, property, nullptr, text, &size, 0) != CR_SUCCESS) return "";
  return text;
}

// USB\VID_0483&PID_1512\A1B2C3 ends with the device's serial number; for a
// device without one the system makes up the last part, with '&' in it.
std::string InstanceSerial(const std::string& id) {
  const size_t at = id.rfind('\\');
  const std::string last = at == std::string::npos ? "" : id.substr(at + 1);
  return last.find('&') == std::string::npos ? last : "";
}

}  // namespace

UsbPlace UsbPlaceOf(DEVINST node) {
  UsbPlace place;
  for (int depth = 0; depth < kMaxNodeDepth; ++depth) {
    const std::string id = DeviceId(node);
    if (id.empty()) break;
    if (IsUsbDeviceId(id)) {
      place.location = NodeProperty(node, CM_DRP_LOCATION_PATHS);
      place.locationInfo = NodeProperty(node, CM_DRP_LOCATION_INFORMATION);
      place.instanceSerial = InstanceSerial(id);
      break;
    }
    DEVINST parent = 0;
    if (CM_Get_Parent(&parent, node, 0) != CR_SUCCESS || parent == node) break;
    node = parent;
  }
  return place;
}
