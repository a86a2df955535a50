// What the test hid.dll and winusb.dll and the device host (talo-sim-usb.exe)
// say to each other under Wine. A device the host serves is a named pipe,
// reached through a symbolic link that has its device interface path's name,
// so that pendrel.exe's CreateFileA opens it as it would open the driver;
// what a driver would answer through its own calls (descriptors, strings,
// bulk OUT transfers) the DLLs ask the host on a pipe of its own.
// Fixed-size fields only: both sides may be built for 32 or 64 bits.
#pragma once

#include <cstdint>

namespace wire {

// \\.\pipe\talo-sim-usb-N: device N's reports (HID) or bulk IN data.
inline constexpr char kDevicePipePrefix[] = "talo-sim-usb-";
inline constexpr char kQueryPipe[] = "\\\\.\\pipe\\talo-sim-usb-query";
// The host's report and each device's flash; the DLLs log every call they
// get here, but only where the folder exists (a test made it).
inline constexpr char kFolder[] = "C:\\pendrel-usb";

enum Op : uint32_t {
  kDescribe = 1,  // -> Description
  kWrite = 2,     // one bulk OUT transfer of `count` bytes -> WriteAnswer
};

inline constexpr uint32_t kMaxTransfer = 16384;

struct Request {
  uint32_t op;
  uint32_t device;
  uint32_t pipe;   // kWrite: the OUT pipe's ID
  uint32_t count;  // kWrite: bytes in data
  uint8_t data[kMaxTransfer];
};
inline constexpr uint32_t kRequestHead = 16;

enum DeviceKind : uint32_t { kBulk = 0, kHid = 1 };

struct Description {
  uint32_t error;  // 0, or the Windows error every call on the device gets (unplugged)
  uint32_t kind;
  uint8_t deviceDescriptor[18];
  // Configuration 1 as the device sends it: configuration, interface and
  // endpoint descriptors.
  uint8_t configuration[64];
  uint16_t configurationLength;
  uint16_t inputReportLength;  // HID: report ID byte included
  uint16_t outputReportLength;
  uint16_t manufacturer[64];  // UTF-16, terminated
  uint16_t product[64];
  uint16_t serialNumber[64];
};

struct WriteAnswer {
  uint32_t error;    // 0, or ERROR_SEM_TIMEOUT / ERROR_DEVICE_NOT_CONNECTED
  uint32_t written;  // bytes the device took
};

}  // namespace wire
