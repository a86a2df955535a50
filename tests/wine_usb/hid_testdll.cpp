// A test-only hid.dll: the attribute, string and capability calls answered
// from the device host's description of the device the handle is open on.
// The reports themselves never pass here: pendrel.exe reads and writes them
// with ReadFile and WriteFile on the device's pipe, which carries one report
// per message, as the HID class driver hands over one report per read.
#include <windows.h>
// mingw's HID headers declare the entry points without C linkage.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include "testdll.h"

#define EXPORT extern "C" __declspec(dllexport)

using testdll::Log;

// The opaque record HidD_GetPreparsedData hands out; HidP_GetCaps reads it.
struct _HIDP_PREPARSED_DATA {
  uint32_t magic;
  HIDP_CAPS caps;
};

namespace {

constexpr uint32_t kPreparsedMagic = 0x50524550;  // "PREP"
// {4D1E55B2-F16F-11CF-88CB-001111000030}
constexpr GUID kHidInterface = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

uint16_t Word(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }

// One of the device's strings into the caller's buffer.
BOOLEAN GetString(const char* name, HANDLE file, PVOID buffer, ULONG bytes,
                  const uint16_t* (*pick)(const wire::Description&)) {
  uint32_t device = 0;
  wire::Description d{};
  if (!testdll::Describe(file, &device, &d)) {
    Log("%s failed error=%lu", name, GetLastError());
    return FALSE;
  }
  testdll::CopyString(pick(d), buffer, bytes);
  Log("%s device=%u bytes=%lu", name, device, bytes);
  return TRUE;
}

}  // namespace

EXPORT void NTAPI HidD_GetHidGuid(LPGUID guid) {
  *guid = kHidInterface;
  Log("HidD_GetHidGuid");
}

EXPORT BOOLEAN NTAPI HidD_GetAttributes(HANDLE file, PHIDD_ATTRIBUTES attributes) {
  uint32_t device = 0;
  wire::Description d{};
  if (!testdll::Describe(file, &device, &d)) {
    Log("HidD_GetAttributes failed error=%lu", GetLastError());
    return FALSE;
  }
  Log("HidD_GetAttributes device=%u size=%lu", device, attributes->Size);
  attributes->Size = sizeof *attributes;
  attributes->VendorID = Word(d.deviceDescriptor + 8);
  attributes->ProductID = Word(d.deviceDescriptor + 10);
  attributes->VersionNumber = Word(d.deviceDescriptor + 12);
  return TRUE;
}

EXPORT BOOLEAN NTAPI HidD_GetManufacturerString(HANDLE file, PVOID buffer, ULONG bytes) {
  return GetString("HidD_GetManufacturerString", file, buffer, bytes,
                   [](const wire::Description& d) -> const uint16_t* { return d.manufacturer; });
}

EXPORT BOOLEAN NTAPI HidD_GetProductString(HANDLE file, PVOID buffer, ULONG bytes) {
  return GetString("HidD_GetProductString", file, buffer, bytes,
                   [](const wire::Description& d) -> const uint16_t* { return d.product; });
}

EXPORT BOOLEAN NTAPI HidD_GetSerialNumberString(HANDLE file, PVOID buffer, ULONG bytes) {
  return GetString("HidD_GetSerialNumberString", file, buffer, bytes,
                   [](const wire::Description& d) -> const uint16_t* { return d.serialNumber; });
}

// The class driver keeps 2 to 512 reports per handle.
EXPORT BOOLEAN NTAPI HidD_SetNumInputBuffers(HANDLE file, ULONG count) {
  uint32_t device = 0;
  if (!testdll::DeviceOf(file, &device)) return FALSE;
  Log("HidD_SetNumInputBuffers device=%u count=%lu", device, count);
  if (count >= 2 && count <= 512) return TRUE;
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

EXPORT BOOLEAN NTAPI HidD_GetPreparsedData(HANDLE file, PHIDP_PREPARSED_DATA* preparsed) {
  uint32_t device = 0;
  wire::Description d{};
  if (!testdll::Describe(file, &device, &d)) return FALSE;
  auto* data = new _HIDP_PREPARSED_DATA{kPreparsedMagic, {}};
  data->caps.UsagePage = 0xFF00;  // vendor-defined, as the controller's descriptor says
  data->caps.Usage = 1;
  data->caps.InputReportByteLength = d.inputReportLength;
  data->caps.OutputReportByteLength = d.outputReportLength;
  data->caps.NumberLinkCollectionNodes = 1;
  data->caps.NumberInputValueCaps = 1;
  data->caps.NumberOutputValueCaps = 1;
  *preparsed = data;
  Log("HidD_GetPreparsedData device=%u", device);
  return TRUE;
}

EXPORT NTSTATUS NTAPI HidP_GetCaps(PHIDP_PREPARSED_DATA preparsed, PHIDP_CAPS caps) {
  if (preparsed == nullptr || preparsed->magic != kPreparsedMagic) {
    Log("HidP_GetCaps invalid");
    return HIDP_STATUS_INVALID_PREPARSED_DATA;
  }
  *caps = preparsed->caps;
  Log("HidP_GetCaps input=%u output=%u", caps->InputReportByteLength, caps->OutputReportByteLength);
  return HIDP_STATUS_SUCCESS;
}

EXPORT BOOLEAN NTAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA preparsed) {
  if (preparsed == nullptr || preparsed->magic != kPreparsedMagic) {
    Log("HidD_FreePreparsedData invalid");
    return FALSE;
  }
  preparsed->magic = 0;
  delete preparsed;
  Log("HidD_FreePreparsedData");
  return TRUE;
}

EXPORT BOOLEAN NTAPI HidD_SetFeature(HANDLE, PVOID, ULONG) { return testdll::Unexpected("HidD_SetFeature"); }
EXPORT BOOLEAN NTAPI HidD_GetFeature(HANDLE, PVOID, ULONG) { return testdll::Unexpected("HidD_GetFeature"); }

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  // Freed by the program (not at its exit): its close unloaded the DLL.
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) Log("hid.dll freed");
  return TRUE;
}
