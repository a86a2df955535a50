// A fake HID device layer: installs itself into the HID link's seam and
// plays any number of enumerated devices, one of which the link opens.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/usb/hid_device.h"
#include "support/fake_usb.h"

namespace fake {

struct FakeHidDevice {
  std::string path = "fake-hid-0";
  std::u16string product = u"Talo Controller";
  uint16_t inputLength = 65;
  uint16_t outputLength = 65;
  std::string location = "1-2";
  std::string serial = "";
};

struct FakeHidConfig : FakeUsbConfig<FakeHidDevice> {
  bool openWriteFails = false;
  bool openReadFails = false;
  // The first `failingWrites` attempts end with `failKind` (-1: all of them).
  HidWriteOutcome failKind = HidWriteOutcome::Written;
  int32_t failingWrites = 0;
  bool shortWrite = false;  // a successful write that moves one byte less
  // The search leaves a system error behind, as probing other nodes does.
  bool staleError = false;
};

struct FakeHidCounters : FakeUsbCounters {
  int openWrites = 0, closeWrites = 0, openReads = 0, closeReads = 0;
  bool closeReadWhilePending = false;  // the fault the layer contract forbids
};

// Written() holds whole output reports; the responder gets each report's
// payload, and its reply is packed into input reports.
class FakeHid : public FakeUsb<FakeHidConfig, FakeHidCounters> {
 public:
  void Install(const FakeHidConfig& config);
  void Uninstall();
  // Packs bytes into input reports of the open device's length and queues
  // them (InjectRaw queues whole reports as they stand).
  void InjectPayload(const std::vector<uint8_t>& bytes);

  // The device side's own part.
  int failuresLeft = 0;
  uint16_t InputLengthLocked() const;
  void QueuePayloadLocked(const std::vector<uint8_t>& bytes);
};

extern FakeHid hid;

// The entry-point table Install puts in the link, for a host that drives the
// device without the link (the benchmark's minimal host).
const HidDeviceApi& HidTable();

}  // namespace fake
