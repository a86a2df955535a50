// A test-only winusb.dll: a WinUSB interface over the device host's pipe.
// Descriptors, interface settings and pipe information come from the
// configuration the host describes; a bulk OUT transfer is a question to the
// host, which feeds the simulator's engine and says how it went (taken, a
// time-out, a short write, the device gone); bulk IN data arrive on the
// device's pipe, where WinUsb_ReadPipe reads with the caller's OVERLAPPED,
// so waiting, GetOverlappedResult and the abort act on a real pending read.
#include <windows.h>
#include <winusb.h>

#include <cstring>

#include "testdll.h"

#define EXPORT extern "C" __declspec(dllexport)

using testdll::Log;

namespace {

constexpr uint32_t kInterfaceMagic = 0x57555342;  // "WUSB"
constexpr uint8_t kInterfaceType = 4, kEndpointType = 5;
// A transfer with no time-out set waits for ever on Windows; here it ends,
// logged, so a test cannot hang on it.
constexpr DWORD kLongestWaitMs = 30000;

struct Interface {
  uint32_t magic = kInterfaceMagic;
  HANDLE file = nullptr;
  uint32_t device = 0;
  wire::Description description{};
  ULONG timeoutMs[256] = {};  // PIPE_TRANSFER_TIMEOUT per pipe ID
};

Interface* Valid(WINUSB_INTERFACE_HANDLE handle) {
  auto* i = static_cast<Interface*>(handle);
  if (i != nullptr && i->magic == kInterfaceMagic) return i;
  SetLastError(ERROR_INVALID_HANDLE);
  return nullptr;
}

// The descriptors of interface 0, alternate setting `setting`: the interface
// descriptor, then its endpoints in the order the device lists them.
const uint8_t* FindDescriptor(const Interface& i, UCHAR setting, int endpoint) {
  const uint8_t* c = i.description.configuration;
  const uint16_t length = i.description.configurationLength;
  bool inside = false;
  int seen = -1;
  for (uint16_t at = 0; at + 2 <= length && c[at] >= 2; at = static_cast<uint16_t>(at + c[at])) {
    if (c[at + 1] == kInterfaceType) {
      inside = c[at + 2] == 0 && c[at + 3] == setting;
      if (inside && endpoint < 0) return c + at;
    } else if (inside && c[at + 1] == kEndpointType && ++seen == endpoint) {
      return c + at;
    }
  }
  return nullptr;
}

// The endpoint descriptor of pipe `id` when it is a bulk pipe of this direction.
bool IsBulkPipe(const Interface& i, UCHAR id, bool in) {
  for (int k = 0;; ++k) {
    const uint8_t* e = FindDescriptor(i, 0, k);
    if (e == nullptr) break;
    if (e[2] == id) return (e[3] & 3) == UsbdPipeTypeBulk && ((id & 0x80) != 0) == in;
  }
  return false;
}

// What a pipe error means for the caller: a host that went away is a device
// that was unplugged.
DWORD DeviceError(DWORD error) {
  switch (error) {
    case ERROR_BROKEN_PIPE:
    case ERROR_PIPE_NOT_CONNECTED:
    case ERROR_NO_DATA: return ERROR_DEVICE_NOT_CONNECTED;
    default: return error;
  }
}

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// USB string descriptor `index` (0: the language list) into the buffer.
ULONG StringDescriptor(const Interface& i, UCHAR index, PUCHAR buffer, ULONG length) {
  uint8_t d[130] = {4, 3, 0x09, 0x04};
  const uint16_t* texts[] = {i.description.manufacturer, i.description.product, i.description.serialNumber};
  if (index >= 1 && index <= 3) {
    uint8_t n = 0;
    for (const uint16_t* t = texts[index - 1]; *t != 0 && n < 63; ++t, ++n) {
      d[2 + 2 * n] = static_cast<uint8_t>(*t);
      d[3 + 2 * n] = static_cast<uint8_t>(*t >> 8);
    }
    d[0] = static_cast<uint8_t>(2 + 2 * n);
  } else if (index != 0) {
    return 0;
  }
  const ULONG size = d[0] < length ? d[0] : length;
  std::memcpy(buffer, d, size);
  return size;
}

}  // namespace

EXPORT WINBOOL WINAPI WinUsb_Initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE handle) {
  auto* i = new Interface;
  if (!testdll::Describe(file, &i->device, &i->description) || i->description.kind != wire::kBulk) {
    const DWORD error = i->description.error ? i->description.error : GetLastError();
    delete i;
    Log("WinUsb_Initialize failed error=%lu", error);
    return Fail(error ? error : ERROR_NOT_SUPPORTED);
  }
  i->file = file;
  *handle = i;
  Log("WinUsb_Initialize device=%u", i->device);
  return TRUE;
}

EXPORT WINBOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE handle) {
  Interface* i = Valid(handle);
  if (i == nullptr) return FALSE;
  Log("WinUsb_Free device=%u", i->device);
  i->magic = 0;
  delete i;
  return TRUE;
}

EXPORT WINBOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE handle, UCHAR type, UCHAR index, USHORT,
                                           PUCHAR buffer, ULONG length, PULONG transferred) {
  Interface* i = Valid(handle);
  if (i == nullptr) return FALSE;
  ULONG size = 0;
  const wire::Description& d = i->description;
  if (type == 1 && index == 0) {
    size = length < sizeof d.deviceDescriptor ? length : sizeof d.deviceDescriptor;
    std::memcpy(buffer, d.deviceDescriptor, size);
  } else if (type == 2 && index == 0) {
    size = length < d.configurationLength ? length : d.configurationLength;
    std::memcpy(buffer, d.configuration, size);
  } else if (type == 3) {
    size = StringDescriptor(*i, index, buffer, length);
  }
  Log("WinUsb_GetDescriptor device=%u type=%u index=%u length=%lu transferred=%lu", i->device, type, index,
      length, size);
  if (size == 0) return Fail(ERROR_GEN_FAILURE);
  *transferred = size;
  return TRUE;
}

EXPORT WINBOOL WINAPI WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE handle, UCHAR setting,
                                                    PUSB_INTERFACE_DESCRIPTOR descriptor) {
  Interface* i = Valid(handle);
  if (i == nullptr) return FALSE;
  const uint8_t* d = FindDescriptor(*i, setting, -1);
  Log("WinUsb_QueryInterfaceSettings setting=%u endpoints=%d", setting, d ? d[4] : -1);
  if (d == nullptr) return Fail(ERROR_NO_MORE_ITEMS);
  std::memcpy(descriptor, d, sizeof *descriptor);
  return TRUE;
}

EXPORT WINBOOL WINAPI WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR setting, UCHAR index,
                                       PWINUSB_PIPE_INFORMATION pipe) {
  Interface* i = Valid(handle);
  if (i == nullptr) return FALSE;
  const uint8_t* e = FindDescriptor(*i, setting, index);
  if (e == nullptr) {
    Log("WinUsb_QueryPipe setting=%u index=%u none", setting, index);
    return Fail(ERROR_NO_MORE_ITEMS);
  }
  pipe->PipeType = static_cast<USBD_PIPE_TYPE>(e[3] & 3);
  pipe->PipeId = e[2];
  pipe->MaximumPacketSize = static_cast<USHORT>(e[4] | (e[5] << 8));
  pipe->Interval = e[6];
  Log("WinUsb_QueryPipe setting=%u index=%u type=%d id=0x%02x packet=%u", setting, index, pipe->PipeType,
      pipe->PipeId, pipe->MaximumPacketSize);
  return TRUE;
}

EXPORT WINBOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, ULONG policy,
                                           ULONG length, PVOID value) {
  Interface* i = Valid(handle);
  if (i == nullptr) return FALSE;
  const bool known = IsBulkPipe(*i, pipe, true) || IsBulkPipe(*i, pipe, false);
  const ULONG number = length == sizeof(ULONG) ? *static_cast<ULONG*>(value) : *static_cast<UCHAR*>(value);
  Log("WinUsb_SetPipePolicy pipe=0x%02x policy=%lu length=%lu value=%lu", pipe, policy, length, number);
  if (!known || length == 0) return Fail(ERROR_INVALID_PARAMETER);
  if (policy == PIPE_TRANSFER_TIMEOUT) {
    if (length != sizeof(ULONG)) return Fail(ERROR_INVALID_PARAMETER);
    i->timeoutMs[pipe] = number;
  }
  return TRUE;
}

EXPORT WINBOOL WINAPI WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer, ULONG count,
                                       PULONG written, LPOVERLAPPED overlapped) {
  Interface* i = Valid(handle);
  if (i == nullptr) return FALSE;
  if (overlapped != nullptr) return testdll::Unexpected("WinUsb_WritePipe (overlapped)");
  if (!IsBulkPipe(*i, pipe, false) || count > wire::kMaxTransfer) return Fail(ERROR_INVALID_PARAMETER);
  static wire::Request request;  // large; the main thread alone writes
  request.op = wire::kWrite;
  request.device = i->device;
  request.pipe = pipe;
  request.count = count;
  if (count > 0) std::memcpy(request.data, buffer, count);
  wire::WriteAnswer answer{};
  if (!testdll::Ask(request, wire::kRequestHead + count, &answer, sizeof answer))
    answer.error = GetLastError();
  const ULONG timeout = i->timeoutMs[pipe];
  Log("WinUsb_WritePipe pipe=0x%02x count=%lu written=%u error=%u timeout=%lu", pipe, count, answer.written,
      answer.error, timeout);
  // A transfer the device does not take ends when the pipe's time-out passes.
  if (answer.error == ERROR_SEM_TIMEOUT)
    Sleep(timeout == 0 || timeout > kLongestWaitMs ? kLongestWaitMs : timeout);
  *written = answer.written;
  if (answer.error != 0) return Fail(answer.error);
  return TRUE;
}

EXPORT WINBOOL WINAPI WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer, ULONG length,
                                      PULONG transferred, LPOVERLAPPED overlapped) {
  Interface* i = Valid(handle);
  if (i == nullptr) return FALSE;
  if (overlapped == nullptr) return testdll::Unexpected("WinUsb_ReadPipe (not overlapped)");
  if (!IsBulkPipe(*i, pipe, true)) return Fail(ERROR_INVALID_PARAMETER);
  if (ReadFile(i->file, buffer, length, nullptr, overlapped)) {
    DWORD got = 0;
    GetOverlappedResult(i->file, overlapped, &got, FALSE);
    if (transferred != nullptr) *transferred = got;
    Log("WinUsb_ReadPipe pipe=0x%02x length=%lu got=%lu", pipe, length, got);
    return TRUE;
  }
  const DWORD error = DeviceError(GetLastError());
  Log("WinUsb_ReadPipe pipe=0x%02x length=%lu error=%lu", pipe, length, error);
  return Fail(error);
}

EXPORT WINBOOL WINAPI WinUsb_GetOverlappedResult(WINUSB_INTERFACE_HANDLE handle, LPOVERLAPPED overlapped,
                                                 LPDWORD transferred, WINBOOL wait) {
  Interface* i = Valid(handle);
  if (i == nullptr) return FALSE;
  if (GetOverlappedResult(i->file, overlapped, transferred, wait)) {
    Log("WinUsb_GetOverlappedResult got=%lu", *transferred);
    return TRUE;
  }
  const DWORD error = DeviceError(GetLastError());
  Log("WinUsb_GetOverlappedResult error=%lu", error);
  return Fail(error);
}

// Ends the transfers pending on the pipe; here only reads can be.
EXPORT WINBOOL WINAPI WinUsb_AbortPipe(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe) {
  Interface* i = Valid(handle);
  if (i == nullptr) return FALSE;
  Log("WinUsb_AbortPipe pipe=0x%02x", pipe);
  if (!IsBulkPipe(*i, pipe, true) && !IsBulkPipe(*i, pipe, false)) return Fail(ERROR_INVALID_PARAMETER);
  if (IsBulkPipe(*i, pipe, true)) CancelIoEx(i->file, nullptr);
  return TRUE;
}

// The rest of the 22 entry points pendrel.exe looks up; it calls none of them.
EXPORT WINBOOL WINAPI WinUsb_GetAssociatedInterface(WINUSB_INTERFACE_HANDLE, UCHAR,
                                                    PWINUSB_INTERFACE_HANDLE) {
  return testdll::Unexpected("WinUsb_GetAssociatedInterface");
}
EXPORT WINBOOL WINAPI WinUsb_QueryDeviceInformation(WINUSB_INTERFACE_HANDLE, ULONG, PULONG, PVOID) {
  return testdll::Unexpected("WinUsb_QueryDeviceInformation");
}
EXPORT WINBOOL WINAPI WinUsb_SetCurrentAlternateSetting(WINUSB_INTERFACE_HANDLE, UCHAR) {
  return testdll::Unexpected("WinUsb_SetCurrentAlternateSetting");
}
EXPORT WINBOOL WINAPI WinUsb_GetCurrentAlternateSetting(WINUSB_INTERFACE_HANDLE, PUCHAR) {
  return testdll::Unexpected("WinUsb_GetCurrentAlternateSetting");
}
EXPORT WINBOOL WINAPI WinUsb_GetPipePolicy(WINUSB_INTERFACE_HANDLE, UCHAR, ULONG, PULONG, PVOID) {
  return testdll::Unexpected("WinUsb_GetPipePolicy");
}
EXPORT WINBOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE, WINUSB_SETUP_PACKET, PUCHAR, ULONG,
                                             PULONG, LPOVERLAPPED) {
  return testdll::Unexpected("WinUsb_ControlTransfer");
}
EXPORT WINBOOL WINAPI WinUsb_ResetPipe(WINUSB_INTERFACE_HANDLE, UCHAR) {
  return testdll::Unexpected("WinUsb_ResetPipe");
}
EXPORT WINBOOL WINAPI WinUsb_FlushPipe(WINUSB_INTERFACE_HANDLE, UCHAR) {
  return testdll::Unexpected("WinUsb_FlushPipe");
}
EXPORT WINBOOL WINAPI WinUsb_SetPowerPolicy(WINUSB_INTERFACE_HANDLE, ULONG, ULONG, PVOID) {
  return testdll::Unexpected("WinUsb_SetPowerPolicy");
}
EXPORT WINBOOL WINAPI WinUsb_GetPowerPolicy(WINUSB_INTERFACE_HANDLE, ULONG, PULONG, PVOID) {
  return testdll::Unexpected("WinUsb_GetPowerPolicy");
}
EXPORT PUSB_INTERFACE_DESCRIPTOR WINAPI WinUsb_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR,
                                                                            PVOID, LONG, LONG, LONG, LONG,
                                                                            LONG) {
  testdll::Unexpected("WinUsb_ParseConfigurationDescriptor");
  return nullptr;
}
EXPORT PUSB_COMMON_DESCRIPTOR WINAPI WinUsb_ParseDescriptors(PVOID, ULONG, PVOID, LONG) {
  testdll::Unexpected("WinUsb_ParseDescriptors");
  return nullptr;
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  // Freed by the program (not at its exit): its close unloaded the DLL.
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) Log("winusb.dll freed");
  return TRUE;
}
