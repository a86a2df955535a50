// The links on Windows: COM ports from SetupAPI's Ports class (with their
// device description and USB ids), plus any other COMn the system knows by
// name; Talo bulk controllers by their WinUSB interface class, HID ones by
// their product string (HID.DLL, loaded at run time from the system folder).
// A HID device is opened with no access rights, which reads its strings and
// sends nothing. A controller's port is its USB device's location path and
// information.
#include <windows.h>
#include <setupapi.h>
#include <cfgmgr32.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cwchar>

#include "instance_ids.h"
#include "link/usb/usb_setupapi_win32.h"
#include "system.h"

namespace {

// {4D36E978-E325-11CE-BFC1-08002BE10318}: the Ports (COM & LPT) class.
constexpr GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
// The interface class a Talo bulk controller's WinUSB binding exposes.
constexpr GUID kTaloWinUsb = {0xED48CB1D, 0xD414, 0x4427, {0xB3, 0x5F, 0x51, 0x09, 0xF4, 0x30, 0x57, 0x85}};
// {4D1E55B2-F16F-11CF-88CB-001111000030}: HID devices.
constexpr GUID kHidInterface = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
constexpr const wchar_t* kTaloHidProduct = L"Talo Controller";

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Property(HDEVINFO set, SP_DEVINFO_DATA* info, DWORD property) {
  char text[512] = "";
  if (!SetupDiGetDeviceRegistryPropertyA(set, info, property, nullptr, reinterpret_cast<BYTE*>(text),
                                         sizeof text - 1, nullptr))
    return {};
  return text;  // a multi-string's first entry
}

// "USB\VID_0403&PID_6001..." -> "0403:6001"
std::string UsbIdOf(const std::string& text) {
  std::string u = Upper(text);
  size_t v = u.find("VID_"), p = u.find("PID_");
  if (v == std::string::npos || p == std::string::npos) return {};
  std::string id = u.substr(v + 4, 4) + ":" + u.substr(p + 4, 4);
  for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return id;
}

// The device's instance id, then its parent's, up to the root of the tree.
std::vector<std::string> InstanceChain(DEVINST device) {
  std::vector<std::string> chain;
  for (int depth = 0; depth < 16; ++depth) {
    char id[MAX_DEVICE_ID_LEN + 1] = "";
    if (CM_Get_Device_IDA(device, id, sizeof id, 0) != CR_SUCCESS) break;
    chain.emplace_back(id);
    DEVINST parent = 0;
    if (CM_Get_Parent(&parent, device, 0) != CR_SUCCESS) break;
    device = parent;
  }
  return chain;
}

// usbOnly: only the ports whose device is on USB, as on Linux (--all-serial
// must not take a motherboard's COM1, which fails every run).
std::vector<LinkInfo> ClassPorts(bool usbOnly = false) {
  std::vector<LinkInfo> links;
  HDEVINFO set = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
  if (set == INVALID_HANDLE_VALUE) return links;
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &info); ++i) {
    HKEY key = SetupDiOpenDevRegKey(set, &info, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) continue;
    char name[64] = "";
    DWORD size = sizeof name - 1, type = 0;
    LONG rc = RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || Upper(name).rfind("COM", 0) != 0) continue;
    LinkInfo l;
    l.kind = "serial";
    l.path = name;
    l.detail = Property(set, &info, SPDRP_FRIENDLYNAME);
    if (l.detail.empty()) l.detail = Property(set, &info, SPDRP_DEVICEDESC);
    l.usbId = UsbIdOf(Property(set, &info, SPDRP_HARDWAREID));
    // The serial number is the USB device's, also where a vendor's bus driver
    // (FTDI's) puts the port's own device between it and the port.
    UsbAncestry usb = UsbAncestryOf(InstanceChain(info.DevInst));
    l.serial = usb.serial;
    if (!usbOnly || usb.onUsb) links.push_back(l);
  }
  SetupDiDestroyDeviceInfoList(set);
  return links;
}

// COM names the system knows that no Ports entry names (mapped or virtual ports).
std::vector<LinkInfo> NamedPorts(const std::vector<LinkInfo>& known) {
  std::vector<LinkInfo> links;
  std::vector<char> names(64 * 1024);
  DWORD n = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
  for (const char* p = names.data(); n > 0 && *p; p += std::strlen(p) + 1) {
    std::string name = p;
    std::string upper = Upper(name);
    if (upper.rfind("COM", 0) != 0 || upper.size() < 4 ||
        !std::all_of(upper.begin() + 3, upper.end(), [](char c) { return c >= '0' && c <= '9'; }))
      continue;
    bool listed =
        std::any_of(known.begin(), known.end(), [&](const LinkInfo& k) { return Upper(k.path) == upper; });
    if (listed) continue;
    LinkInfo l;
    l.kind = "serial";
    l.path = upper;
    char target[512] = "";
    if (QueryDosDeviceA(name.c_str(), target, sizeof target)) l.detail = target;
    links.push_back(l);
  }
  std::sort(links.begin(), links.end(), [](const LinkInfo& a, const LinkInfo& b) {
    return a.path.size() != b.path.size() ? a.path.size() < b.path.size() : a.path < b.path;
  });
  return links;
}

// Where the USB device of an interface is, exactly as pendrel's own search
// sees it: a unit the station names is the controller its pendrel takes.
void FillUsbDevice(LinkInfo& l, const DeviceNode& interfaceNode) {
  UsbPlace place = UsbPlaceOf(interfaceNode);
  l.location = place.location;
  l.locationInfo = place.locationInfo;
  if (l.serial.empty()) l.serial = place.instanceSerial;
}

template <typename Visit>
void EachInterface(const GUID& guid, Visit visit) {
  HDEVINFO set = SetupDiGetClassDevsA(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, i, &data); ++i) {
    DWORD needed = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &needed, nullptr);
    if (needed == 0) continue;
    std::vector<char> buffer(needed);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, needed, nullptr, &info)) continue;
    visit(std::string(detail->DevicePath), DeviceNode{set, info});
  }
  SetupDiDestroyDeviceInfoList(set);
}

std::vector<LinkInfo> BulkControllers() {
  std::vector<LinkInfo> links;
  EachInterface(kTaloWinUsb, [&](const std::string& path, const DeviceNode& node) {
    LinkInfo l;
    l.kind = "usb-bulk";
    l.path = path;
    l.usbId = UsbIdOf(path);
    FillUsbDevice(l, node);
    links.push_back(l);
  });
  return links;
}

using HidString = BOOLEAN(__stdcall*)(HANDLE, PVOID, ULONG);

std::vector<LinkInfo> HidControllers() {
  std::vector<LinkInfo> links;
  HMODULE hid = LoadSystemLibrary("hid.dll");
  if (hid == nullptr) return links;
  auto product =
      reinterpret_cast<HidString>(reinterpret_cast<void*>(GetProcAddress(hid, "HidD_GetProductString")));
  auto serial =
      reinterpret_cast<HidString>(reinterpret_cast<void*>(GetProcAddress(hid, "HidD_GetSerialNumberString")));
  if (product != nullptr) {
    EachInterface(kHidInterface, [&](const std::string& path, const DeviceNode& node) {
      HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr);
      if (h == INVALID_HANDLE_VALUE) return;
      wchar_t name[128] = L"";
      wchar_t number[128] = L"";
      bool ours = product(h, name, sizeof name - sizeof(wchar_t)) && std::wcscmp(name, kTaloHidProduct) == 0;
      if (ours && serial) serial(h, number, sizeof number - sizeof(wchar_t));
      CloseHandle(h);
      if (!ours) return;
      LinkInfo l;
      l.kind = "usb-hid";
      l.path = path;
      l.usbId = UsbIdOf(path);
      for (const wchar_t* c = number; *c; ++c) l.serial += *c < 128 ? static_cast<char>(*c) : '?';
      l.detail = "Talo Controller";
      FillUsbDevice(l, node);
      links.push_back(l);
    });
  }
  FreeLibrary(hid);
  return links;
}

// "com3:", "\\.\COM3" -> "COM3"
std::string PortName(const std::string& port) {
  std::string p = port;
  if (p.rfind("\\\\.\\", 0) == 0) p = p.substr(4);
  if (!p.empty() && p.back() == ':') p.pop_back();
  return Upper(p);
}

}  // namespace

std::vector<LinkInfo> ListLinks() {
  std::vector<LinkInfo> links = ClassPorts();
  std::vector<LinkInfo> more = NamedPorts(links);
  links.insert(links.end(), more.begin(), more.end());
  more = UsbControllers();
  links.insert(links.end(), more.begin(), more.end());
  return links;
}

std::vector<LinkInfo> UsbControllers() {
  std::vector<LinkInfo> links = BulkControllers();
  std::vector<LinkInfo> hid = HidControllers();
  links.insert(links.end(), hid.begin(), hid.end());
  return links;
}

bool UsbNamesIgnoreCase() { return true; }

std::vector<std::string> SerialPortNames() {
  std::vector<std::string> names;
  for (const LinkInfo& l : ClassPorts(true)) names.push_back(l.path);
  return names;
}

std::string CanonicalPortName(const std::string& port) { return PortName(port); }

bool PortPresent(const std::string& port) {
  char target[512];
  return QueryDosDeviceA(PortName(port).c_str(), target, sizeof target) != 0;
}

std::string UsbSerialOfPort(const std::string& port) {
  std::string name = PortName(port);
  for (const LinkInfo& l : ClassPorts())
    if (Upper(l.path) == name) return l.serial;
  return {};
}
