// A HID controller as the kernel shows it: a USB device with its strings
// in sysfs, a HID interface and a hidraw node whose ioctls (report
// descriptor), writes (output reports) and reads (input reports) are
// answered here. Behind it the talo-sim engine, or nothing for a device
// the program must leave alone.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "umockdev/emulated_bed.h"

namespace emu {

struct HidDeviceDescription {
  int node = 0;  // hidrawN, and (without `port`) the USB port 1-(N+2)
  std::string product = "Talo Controller";
  std::string manufacturer = "Talo Systems";
  uint16_t vendor = 0x0483;
  uint16_t productId = 0x5750;
  uint16_t inputBytes = 64;  // report payload in the descriptor, without an ID byte
  uint16_t outputBytes = 64;
  // HID_NAME of the hid device's uevent; empty: as the kernel writes it,
  // manufacturer and product joined. (Wine takes its product string from
  // it, so the Wine runs set it to the product alone.)
  std::string hidName = "";
  // The USB device's sysfs name (1-1.4); empty: 1-(node+2).
  std::string port = "";
  // Its serial number (sysfs `serial`, the hid device's HID_UNIQ); empty:
  // the device has none.
  std::string serial = "";
};

// The sysfs name of the USB device the description puts in the bed.
std::string HidPort(const HidDeviceDescription& description);

struct HidCounters {
  int descriptorIoctls = 0;
  int otherIoctls = 0;  // requests the emulation does not know
  unsigned long lastOtherIoctl = 0;
  int writes = 0;             // output reports taken
  int wrongLengthWrites = 0;  // writes that were not one whole report
  int reads = 0;              // input reports delivered
  int failedReads = 0;        // reads answered with the disconnect error
};

struct HidController {
  HidDeviceDescription description;
  sim::SimEngine* engine = nullptr;  // none: any write counts against the program
  std::mutex lock;
  std::vector<std::vector<uint8_t>> input;  // queued input reports, device's view (no ID byte)
  bool lost = false;                        // unplugged: reads fail with EIO, writes with ENODEV
  // A device that stopped taking output reports: each write is held, as the
  // kernel holds it while the interrupt OUT transfer waits, until the
  // device is unplugged or detached.
  bool holdWrites = false;
  std::vector<UMockdevIoctlClient*> heldWrites;
  HidCounters counters;
  std::map<UMockdevIoctlClient*, bool> lastReadEmpty;
  std::vector<Held> held;
  UMockdevIoctlBase* handler = nullptr;
};

// The report descriptor of a vendor-page device without report IDs whose
// input and output reports carry these many bytes.
std::vector<uint8_t> HidReportDescriptor(uint16_t inputBytes, uint16_t outputBytes);

// Puts the device into the bed and attaches its handler; false on failure.
bool AddHidController(Bed& bed, HidController& device);
// Ends held reads whose time is up (the ticker calls it).
void HidTick(HidController& device);
// Pulls the plug: pending and later reads fail.
void HidUnplug(HidController& device);
void HidDetach(Bed& bed, HidController& device);
// Takes the device out of the bed, as unplugging it does (its sysfs entries
// and node go); AddHidController puts it back.
void HidRemove(Bed& bed, HidController& device);

}  // namespace emu
