// The device host's part of SetupAPI and the object namespace: each device
// entered as Windows enters a plugged-in one, and taken out again.
#include <windows.h>
#include <setupapi.h>
#include <devpropdef.h>
#include <winternl.h>

#include <cstdio>

#include "host.h"

extern "C" NTSTATUS NTAPI NtCreateSymbolicLinkObject(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                                     PUNICODE_STRING);
// In setupapi's import library, not in mingw's header.
extern "C" BOOL WINAPI SetupDiSetDevicePropertyW(HDEVINFO, PSP_DEVINFO_DATA, const DEVPROPKEY*, DEVPROPTYPE,
                                                 const BYTE*, DWORD, DWORD);

namespace host {

namespace {

// Setup classes of a WinUSB device, of a USB device and of a HID device.
constexpr GUID kUsbDeviceClass = {
    0x88BAE032, 0x5A81, 0x49F0, {0xBC, 0x3D, 0xA4, 0xFF, 0x13, 0x82, 0x16, 0xD6}};
constexpr GUID kUsbClass = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
constexpr GUID kHidClass = {0x745A17A0, 0x74D3, 0x11D0, {0xB6, 0xFE, 0x00, 0xA0, 0xC9, 0x0F, 0x57, 0xDA}};
// Interface classes: the Talo controller's WinUSB binding, and HID.
constexpr GUID kTaloInterface = {
    0xED48CB1D, 0xD414, 0x4427, {0xB3, 0x5F, 0x51, 0x09, 0xF4, 0x30, 0x57, 0x85}};
constexpr GUID kHidInterface = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
constexpr DEVPROPKEY kLocationPaths = {
    {0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 37};
constexpr DEVPROPKEY kParent = {
    {0x4340A6C5, 0x93FA, 0x4706, {0x97, 0x2C, 0x7B, 0x64, 0x80, 0x08, 0xA5, 0xA7}}, 8};
constexpr ACCESS_MASK kSymbolicLinkAllAccess = 0xF0001;
constexpr uint8_t kPacket = 64;

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

void Utf16(const std::string& text, uint16_t (&out)[64]) {
  size_t i = 0;
  for (; i < text.size() && i < 63; ++i) out[i] = static_cast<uint8_t>(text[i]);
  out[i] = 0;
}

void Append(wire::Description& d, std::initializer_list<uint8_t> bytes) {
  for (uint8_t b : bytes) d.configuration[d.configurationLength++] = b;
}

bool Failed(const char* what, const Device& d) {
  std::printf("talo-sim-usb: device %d: %s failed (error %lu)\n", d.number, what, GetLastError());
  return false;
}

bool Enter(HDEVINFO set, const std::wstring& instance, const GUID& setupClass, Device& d) {
  SP_DEVINFO_DATA info{};
  info.cbSize = sizeof info;
  if (SetupDiCreateDeviceInfoW(set, instance.c_str(), &setupClass, nullptr, nullptr, 0, &info)) {
    if (!SetupDiRegisterDeviceInfo(set, &info, 0, nullptr, nullptr, nullptr)) return Failed("register", d);
  } else if (GetLastError() != ERROR_DEVINST_ALREADY_EXISTS ||
             !SetupDiOpenDeviceInfoW(set, instance.c_str(), nullptr, 0, &info)) {
    return Failed("SetupDiCreateDeviceInfo", d);
  }
  d.entries.push_back(info);
  return true;
}

// Where the device is plugged in, as Windows says it of a USB device: its
// location information and its location path.
void SetLocation(HDEVINFO set, SP_DEVINFO_DATA& usb, const Device& d) {
  wchar_t text[64];
  int n = std::swprintf(text, 64, L"Port_#%04d.Hub_#0001", d.port);
  SetupDiSetDeviceRegistryPropertyW(set, &usb, SPDRP_LOCATION_INFORMATION, reinterpret_cast<BYTE*>(text),
                                    (n + 1) * sizeof(wchar_t));
  n = std::swprintf(text, 63, L"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(%d)", d.port);
  text[n + 1] = 0;  // a list of one
  if (!SetupDiSetDevicePropertyW(set, &usb, &kLocationPaths, DEVPROP_TYPE_STRING_LIST,
                                 reinterpret_cast<BYTE*>(text), (n + 2) * sizeof(wchar_t), 0))
    Failed("setting the location paths", d);
}

// Present in this session: what Wine's drivers set when they enable an interface.
bool SetLinked(const Device& d, const GUID& cls, DWORD linked) {
  wchar_t guid[40];
  StringFromGUID2(cls, guid, 40);
  const std::wstring key = L"System\\CurrentControlSet\\Control\\DeviceClasses\\" + std::wstring(guid) +
                           L"\\##?#" + Wide(d.interfacePath.substr(4)) + L"\\#\\Control";
  HKEY control = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE,
                      nullptr, &control, nullptr) != ERROR_SUCCESS)
    return false;
  const LONG rc = RegSetValueExW(control, L"Linked", 0, REG_DWORD, reinterpret_cast<BYTE*>(&linked), 4);
  RegCloseKey(control);
  return rc == ERROR_SUCCESS;
}

bool AddInterface(HDEVINFO set, Device& d, const GUID& cls) {
  SP_DEVICE_INTERFACE_DATA entry{};
  entry.cbSize = sizeof entry;
  if (!SetupDiCreateDeviceInterfaceW(set, &d.entries.back(), &cls, nullptr, 0, &entry))
    return Failed("SetupDiCreateDeviceInterface", d);
  alignas(8) unsigned char storage[1024] = {};
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage);
  detail->cbSize = sizeof *detail;
  if (!SetupDiGetDeviceInterfaceDetailA(set, &entry, detail, sizeof storage, nullptr, nullptr))
    return Failed("SetupDiGetDeviceInterfaceDetail", d);
  d.interfacePath = detail->DevicePath;
  return SetLinked(d, cls, 1) || Failed("setting Linked", d);
}

// \??\<the interface path's name> -> \Device\NamedPipe\talo-sim-usb-N
bool MakeOpenable(Device& d) {
  std::wstring name = L"\\??\\" + Wide(d.interfacePath.substr(4));
  std::wstring target = L"\\Device\\NamedPipe\\" + Wide(wire::kDevicePipePrefix) + std::to_wstring(d.number);
  UNICODE_STRING nameString{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                            name.data()};
  UNICODE_STRING targetString{static_cast<USHORT>(target.size() * 2), static_cast<USHORT>(target.size() * 2),
                              target.data()};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &nameString, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  const NTSTATUS status =
      NtCreateSymbolicLinkObject(&d.link, kSymbolicLinkAllAccess, &attributes, &targetString);
  if (status == 0) return true;
  std::printf("talo-sim-usb: device %d: the link to its pipe failed (status 0x%08lx)\n", d.number,
              static_cast<unsigned long>(status));
  return false;
}

}  // namespace

void Describe(Device& d) {
  wire::Description& w = d.description;
  const uint8_t v0 = static_cast<uint8_t>(d.vendor), v1 = static_cast<uint8_t>(d.vendor >> 8);
  const uint8_t p0 = static_cast<uint8_t>(d.productId), p1 = static_cast<uint8_t>(d.productId >> 8);
  const uint8_t device[18] = {18, 1, 0x00, 0x02, 0, 0, 0, kPacket, v0, v1, p0, p1, 0x00, 0x01, 1, 2, 3, 1};
  std::copy(std::begin(device), std::end(device), w.deviceDescriptor);
  w.kind = d.hid ? wire::kHid : wire::kBulk;
  const uint8_t endpoints = d.hid ? 2 : 3;
  const uint8_t total = static_cast<uint8_t>(9 + 9 + 7 * endpoints);
  w.configurationLength = 0;
  Append(w, {9, 2, total, 0, 1, 1, 0, 0x80, 50});
  Append(w, {9, 4, 0, 0, endpoints, static_cast<uint8_t>(d.hid ? 3 : 0xFF), 0, 0, 0});
  // A bulk controller's interrupt endpoint comes first: the program must pass it over.
  if (!d.hid) Append(w, {7, 5, 0x83, 3, kPacket, 0, 10});
  const uint8_t type = d.hid ? 3 : 2;
  Append(w, {7, 5, 0x81, type, kPacket, 0, static_cast<uint8_t>(d.hid ? 1 : 0)});
  Append(w, {7, 5, 0x01, type, kPacket, 0, static_cast<uint8_t>(d.hid ? 1 : 0)});
  w.inputReportLength = w.outputReportLength = d.hid ? kPacket + 1 : 0;
  Utf16(d.manufacturer, w.manufacturer);
  Utf16(d.product, w.product);
  Utf16(d.serial, w.serialNumber);
}

bool Plug(HDEVINFO set, Device& d) {
  wchar_t ids[32];
  std::swprintf(ids, 32, L"VID_%04X&PID_%04X", d.vendor, d.productId);
  const std::wstring usb = L"USB\\" + std::wstring(ids) + L"\\" + Wide(d.serial);
  if (!Enter(set, usb, d.hid ? kUsbClass : kUsbDeviceClass, d)) return false;
  SetLocation(set, d.entries.back(), d);
  // A HID interface belongs to the HID device that Windows makes below the
  // USB one. Wine's CM_Get_Parent knows no parents: the child's parent
  // property names it, as Windows reports it.
  if (d.hid) {
    if (!Enter(set, L"HID\\" + std::wstring(ids) + L"\\1&" + std::to_wstring(d.port) + L"&0&0000", kHidClass,
               d))
      return false;
    if (!SetupDiSetDevicePropertyW(set, &d.entries.back(), &kParent, DEVPROP_TYPE_STRING,
                                   reinterpret_cast<const BYTE*>(usb.c_str()),
                                   (usb.size() + 1) * sizeof(wchar_t), 0))
      Failed("setting the parent", d);
  }
  return AddInterface(set, d, d.hid ? kHidInterface : kTaloInterface) && (d.unopenable || MakeOpenable(d));
}

void Unplug(HDEVINFO set, Device& d, bool forget) {
  if (!d.interfacePath.empty()) SetLinked(d, d.hid ? kHidInterface : kTaloInterface, 0);
  if (d.link != nullptr) CloseHandle(d.link);
  d.link = nullptr;
  if (!forget) return;
  for (auto at = d.entries.rbegin(); at != d.entries.rend(); ++at) SetupDiRemoveDevice(set, &*at);
  d.entries.clear();
}

}  // namespace host
