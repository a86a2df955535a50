// A bulk controller as libusb finds it on Linux: the USB device's
// descriptors in sysfs and its usbfs node, whose ioctls (capabilities,
// interface claims, URB submit / reap / discard) are answered here. Bytes
// on the bulk OUT endpoint go to the talo-sim engine; its replies come back
// on the bulk IN endpoint, a short packet per reply.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "umockdev/emulated_bed.h"

namespace emu {

struct BulkDeviceDescription {
  int bus = 2;  // usbN, and /dev/bus/usb/00N/001
  uint16_t vendor = 0x0483;
  uint16_t productId = 0x1512;
  uint16_t maxPacket = 64;  // of both bulk endpoints
  // The ports on the way from the bus to the device ("3", or "1.4" behind a
  // hub at port 1, which is put into the bed too): sysfs name BUS-PORT,
  // node /dev/bus/usb/BBB/<address>. Empty: the device stands where the
  // bus's root hub would (usbN, address 1).
  std::string port = "";
  int address = 1;
  std::string serial = "";  // sysfs `serial`; empty: none
};

struct BulkCounters {
  int claims = 0;
  int releases = 0;
  int submits = 0;
  int outTransfers = 0;   // bulk OUT URBs with data
  int zeroLengthOut = 0;  // bulk OUT URBs of no bytes
  size_t largestOut = 0;
  int inTransfers = 0;  // bulk IN URBs completed with data
  int discards = 0;
  int otherIoctls = 0;  // requests the emulation does not know
  unsigned long lastOtherIoctl = 0;
};

struct BulkController {
  BulkDeviceDescription description;
  sim::SimEngine* engine = nullptr;  // none: any transfer counts against the program
  std::mutex lock;
  std::deque<uint8_t> inBytes;                // engine replies not yet sent on the IN endpoint
  std::vector<UMockdevIoctlData*> pendingIn;  // submitted IN URBs waiting for bytes
  std::deque<UMockdevIoctlData*> reapable;    // completed URBs not yet reaped
  std::map<UMockdevIoctlClient*, bool> lastReapEmpty;
  std::vector<Held> held;  // reaps held back until an URB completes
  bool lost = false;       // unplugged
  bool busy = false;       // another program holds the interface
  // OUT transfers whose bytes begin so never complete (until discarded).
  std::vector<uint8_t> stallOutPrefix;
  std::vector<UMockdevIoctlData*> pendingOut;
  // After this many OUT transfers with data every reap fails with EIO.
  int reapsFailAfterOut = -1;
  BulkCounters counters;
  UMockdevIoctlBase* handler = nullptr;
};

// The device node libusb opens: /dev/bus/usb/BBB/DDD.
std::string BulkNode(const BulkDeviceDescription& description);
// Its sysfs name: usbN, or BUS-PORT.
std::string BulkSysfsName(const BulkDeviceDescription& description);
bool AddBulkController(Bed& bed, BulkController& device);
void BulkTick(BulkController& device);
void BulkDetach(Bed& bed, BulkController& device);

}  // namespace emu
