// A fake bulk device layer: installs itself into the WinUSB link's seam and
// plays enumerated devices with configurable descriptors and pipes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/usb/winusb_device.h"
#include "support/fake_usb.h"

namespace fake {

// An 18-byte device descriptor with these identifiers.
std::vector<uint8_t> DeviceDescriptor(uint16_t vendor, uint16_t product);

struct FakeWinUsbDevice {
  std::string path = "fake-winusb-0";
  std::vector<uint8_t> descriptor = DeviceDescriptor(0x0483, 0x1512);
  std::vector<WinUsbPipeInfo> pipes{{2, 0x81, 64}, {2, 0x01, 64}};
  std::string location = "2-1";
  std::string serial = "";
};

struct FakeWinUsbConfig : FakeUsbConfig<FakeWinUsbDevice> {
  bool openFails = false;
  bool queryInterfaceFails = false;
  bool policyFails = false;
  bool writeFails = false;
  bool shortTransfer = false;  // a write that succeeds with one byte less
  bool staleError = false;     // each write leaves a system error behind
  bool holdWrites = false;     // a write waits for FinishWrite
};

struct FakeWinUsbCounters : FakeUsbCounters {
  int opens = 0, releases = 0;
  int policyCalls = 0;
  std::vector<uint32_t> policyValues;
  int zeroLengthWrites = 0;
  uint8_t lastReadPipe = 0;
  uint8_t lastWritePipe = 0;
  bool releaseDuringTransfer = false;  // the overlap the link must prevent
};

// Written() holds the payloads of the non-empty writes; InjectRaw queues
// bytes that the next read returns (as one transfer, up to its size).
class FakeWinUsb : public FakeUsb<FakeWinUsbConfig, FakeWinUsbCounters> {
 public:
  void Install(const FakeWinUsbConfig& config);
  void Uninstall();
  // With holdWrites: waits until a write is in progress / lets it finish.
  bool WaitWriteInProgress(int timeoutMs = 2000);
  void FinishWrite();

  // The device side's own part.
  int writesInProgress = 0;
  bool finishWrite = false;
};

extern FakeWinUsb winusb;

// The entry-point table Install puts in the link, for a host that drives the
// device without the link (the benchmark's minimal host).
const WinUsbDeviceApi& WinUsbTable();

}  // namespace fake
