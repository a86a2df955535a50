// A fake bulk device layer: installs itself into the WinUSB link's seam and
// plays enumerated devices with configurable descriptors and pipes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/usb/winusb_device.h"
#include "support/fake_hid.h"  // Responder

namespace fake {

// An 18-byte device descriptor with these identifiers.
std::vector<uint8_t> DeviceDescriptor(uint16_t vendor, uint16_t product);

struct FakeWinUsbDevice {
  std::string path = "fake-winusb-0";
  std::vector<uint8_t> descriptor = DeviceDescriptor(0x0483, 0x1512);
  std::vector<WinUsbPipeInfo> pipes{{2, 0x81, 64}, {2, 0x01, 64}};
};

struct FakeWinUsbConfig {
  std::vector<FakeWinUsbDevice> devices{FakeWinUsbDevice{}};
  int32_t loadStatus = 0;
  int32_t enumerateStatus = 0;
  bool openFails = false;
  bool queryInterfaceFails = false;
  bool policyFails = false;
  bool writeFails = false;
  bool shortTransfer = false;  // a write that succeeds with one byte less
  bool holdWrites = false;     // a write waits for FakeWinUsbFinishWrite
  Responder responder;
};

struct FakeWinUsbCounters {
  int loads = 0, unloads = 0, opens = 0, releases = 0;
  int policyCalls = 0;
  std::vector<uint32_t> policyValues;
  int writeCalls = 0;
  int zeroLengthWrites = 0;
  int readCalls = 0;
  uint32_t lastReadCapacity = 0;
  uint8_t lastReadPipe = 0;
  uint8_t lastWritePipe = 0;
  bool releaseDuringTransfer = false;  // the overlap the link must prevent
  bool stopEndedPendingRead = false;
  int stopsCreated = 0, stopsDestroyed = 0;
};

void FakeWinUsbInstall(const FakeWinUsbConfig& config);
void FakeWinUsbUninstall();
// The payloads of the non-empty writes, in order.
std::vector<std::vector<uint8_t>> FakeWinUsbWrites();
FakeWinUsbCounters FakeWinUsbCountersNow();
// Queues bytes that the next read returns (as one transfer, up to its size).
void FakeWinUsbInject(const std::vector<uint8_t>& bytes);
void FakeWinUsbLoseConnection();
bool FakeWinUsbWaitReadPending(int timeoutMs = 2000);
// With holdWrites: waits until a write is in progress / lets it finish.
bool FakeWinUsbWaitWriteInProgress(int timeoutMs = 2000);
void FakeWinUsbFinishWrite();

}  // namespace fake
