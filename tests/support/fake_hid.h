// A fake HID device layer: installs itself into the HID link's seam and
// plays any number of enumerated devices, one of which the link opens.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <functional>
#include <span>

#include "link/usb/hid_device.h"

namespace fake {

// What answers the host inside a fake USB device (a script, or the talo-sim
// engine): gets the bytes of one report's payload or one transfer, appends
// the reply bytes; returns true when the controller drops the link.
using Responder = std::function<bool(std::span<const uint8_t> sent, std::vector<uint8_t>& reply)>;

struct FakeHidDevice {
  std::string path = "fake-hid-0";
  std::u16string product = u"Talo Controller";
  uint16_t inputLength = 65;
  uint16_t outputLength = 65;
};

struct FakeHidConfig {
  std::vector<FakeHidDevice> devices{FakeHidDevice{}};
  int32_t loadStatus = 0;       // non-zero: load records it and fails
  int32_t enumerateStatus = 0;  // non-zero: enumeration records it, after the devices
  bool openWriteFails = false;
  bool openReadFails = false;
  // The first `failingWrites` attempts end with `failKind` (-1: all of them).
  HidWriteOutcome failKind = HidWriteOutcome::Written;
  int32_t failingWrites = 0;
  bool shortWrite = false;  // a successful write that moves one byte less
  Responder responder;      // answers each report's payload; none: silence
};

struct FakeHidCounters {
  int loads = 0, unloads = 0, openWrites = 0, closeWrites = 0, openReads = 0, closeReads = 0;
  int writeCalls = 0;
  int readCalls = 0;
  uint32_t lastReadCapacity = 0;
  bool stopEndedPendingRead = false;   // a read was waiting when the stop came
  bool closeReadWhilePending = false;  // the fault the layer contract forbids
  int stopsCreated = 0, stopsDestroyed = 0;
};

void FakeHidInstall(const FakeHidConfig& config);
void FakeHidUninstall();
// Reports the host wrote, whole, in order.
std::vector<std::vector<uint8_t>> FakeHidReports();
FakeHidCounters FakeHidCountersNow();
// Queues raw input report bytes (whole reports of the device's length).
void FakeHidInjectRaw(const std::vector<uint8_t>& reports);
// Packs bytes into input reports of the open device's length and queues them.
void FakeHidInjectPayload(const std::vector<uint8_t>& bytes);
// The next (or current) read fails.
void FakeHidLoseConnection();
// Waits (bounded) until the reader is blocked in a read with nothing queued.
bool FakeHidWaitReadPending(int timeoutMs = 2000);

}  // namespace fake
