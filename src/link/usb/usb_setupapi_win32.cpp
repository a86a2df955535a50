#include "link/usb/usb_setupapi_win32.h"

#include <setupapi.h>

#include <cctype>
#include <cstring>
#include <vector>

#include "base/status.h"

bool WalkDeviceInterfaces(const GUID& cls,
                          bool (*visit)(void* context, const char* path, const DeviceNode& node),
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
    if (visit(context, detail->DevicePath, DeviceNode{set, device})) break;
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

// DEVPKEY_Device_Parent and DEVPKEY_Device_LocationPaths (devpkey.h).
constexpr DEVPROPKEY kParentKey = {
    {0x4340A6C5, 0x93FA, 0x4706, {0x97, 0x2C, 0x7B, 0x64, 0x80, 0x08, 0xA5, 0xA7}}, 8};
constexpr DEVPROPKEY kLocationPathsKey = {
    {0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 37};

std::string InstanceId(const DeviceNode& node) {
  char id[MAX_DEVICE_ID_LEN + 1] = {};
  SP_DEVINFO_DATA data = node.data;
  if (!SetupDiGetDeviceInstanceIdA(node.set, &data, id, sizeof id, nullptr)) return "";
  return id;
}

bool IsUsbDeviceId(std::string id) {
  for (char& c : id) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return id.rfind("USB\\", 0) == 0 && id.find("&MI_") == std::string::npos;
}

// A text property of the node; of a list of texts, the first. Instance IDs,
// location paths and names are ASCII.
std::string TextProperty(const DeviceNode& node, const DEVPROPKEY& key) {
  wchar_t text[512] = {};
  DEVPROPTYPE type = 0;
  SP_DEVINFO_DATA data = node.data;
  if (!SetupDiGetDevicePropertyW(node.set, &data, &key, &type, reinterpret_cast<BYTE*>(text),
                                 sizeof text - 2 * sizeof(wchar_t), nullptr, 0) ||
      (type != DEVPROP_TYPE_STRING && type != DEVPROP_TYPE_STRING_LIST))
    return "";
  std::string out;
  for (const wchar_t* c = text; *c != 0; ++c) out.push_back(*c < 0x80 ? static_cast<char>(*c) : '?');
  return out;
}

std::string LocationInformation(const DeviceNode& node) {
  char text[256] = {};
  SP_DEVINFO_DATA data = node.data;
  if (!SetupDiGetDeviceRegistryPropertyA(node.set, &data, SPDRP_LOCATION_INFORMATION, nullptr,
                                         reinterpret_cast<BYTE*>(text), sizeof text - 1, nullptr))
    return "";
  return text;
}

// The instance ID of the node's parent: its parent property, else the
// device tree's (CM_Get_Parent, which Wine does not know).
std::string ParentId(const DeviceNode& node) {
  std::string id = TextProperty(node, kParentKey);
  DEVINST parent = 0;
  char text[MAX_DEVICE_ID_LEN + 1] = {};
  if (id.empty() && CM_Get_Parent(&parent, node.data.DevInst, 0) == CR_SUCCESS &&
      parent != node.data.DevInst && CM_Get_Device_IDA(parent, text, sizeof text, 0) == CR_SUCCESS)
    id = text;
  return id;
}

// USB\VID_0483&PID_1512\A1B2C3 ends with the device's serial number; for a
// device without one the system makes up the last part, with '&' in it.
std::string InstanceSerial(const std::string& id) {
  const size_t at = id.rfind('\\');
  const std::string last = at == std::string::npos ? "" : id.substr(at + 1);
  return last.find('&') == std::string::npos ? last : "";
}

}  // namespace

UsbPlace UsbPlaceOf(const DeviceNode& start) {
  UsbPlace place;
  // The nodes above the interface's are opened in a list of their own.
  HDEVINFO above = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (above == INVALID_HANDLE_VALUE) return place;
  DeviceNode node = start;
  for (int depth = 0; depth < kMaxNodeDepth; ++depth) {
    const std::string id = InstanceId(node);
    if (IsUsbDeviceId(id)) {
      place = {TextProperty(node, kLocationPathsKey), LocationInformation(node), InstanceSerial(id)};
      break;
    }
    const std::string parent = ParentId(node);
    DeviceNode next{above, {}};
    next.data.cbSize = sizeof next.data;
    if (parent.empty() || !SetupDiOpenDeviceInfoA(above, parent.c_str(), nullptr, 0, &next.data)) break;
    node = next;
  }
  SetupDiDestroyDeviceInfoList(above);
  return place;
}
