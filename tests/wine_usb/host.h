// talo-sim-usb.exe, the device host: Talo USB controllers (and other USB
// devices beside them) for the Windows programs under Wine, behind the test
// hid.dll and winusb.dll. Each device is entered in SetupAPI as Windows
// would enter it (instance ID, interface class, location), its interface
// path is a symbolic link to a named pipe the host serves, and the
// simulator's engine answers what the program writes.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "options.h"
#include "wire.h"

namespace host {

struct Counters {
  int connections = 0;    // opens of the device's path
  int outputReports = 0;  // HID: whole output reports taken
  int wrongLength = 0;    // HID: writes that were not one output report
  int transfers = 0;      // bulk OUT transfers, zero-length ones included
  int zeroLength = 0;
  int inMessages = 0;  // input reports / bulk IN transfers sent, per open handle
  int stray = 0;       // bytes the device had no use for (an inert device's, bulk data on its IN pipe)
  int timeouts = 0;    // transfers left to time out
  int shortWrites = 0;
};

struct Device {
  int number = 0;
  bool hid = false;
  uint16_t vendor = 0x0483;
  uint16_t productId = 0x1512;
  std::string serial;
  std::string product = "Talo Controller";
  std::string manufacturer = "Talo Systems";
  int port = 1;             // its hub port: the location Windows shows
  bool inert = false;       // no controller behind it: anything written counts against the program
  bool unopenable = false;  // listed, but its path opens nothing (as when another program holds it)
  std::vector<uint8_t> timeoutPrefix;  // the first bulk transfer that begins so times out
  std::vector<uint8_t> shortPrefix;    // ... is taken short by one byte
  FrontEndOptions engineOptions;

  std::unique_ptr<sim::SimEngine> engine;
  wire::Description description{};
  std::string interfacePath;             // \\?\usb#vid_...#{class}
  HANDLE link = nullptr;                 // the symbolic link that makes the path openable
  std::vector<SP_DEVINFO_DATA> entries;  // in SetupAPI, the USB device first
  std::vector<HANDLE> connections;       // its pipe's open instances
  bool gone = false;
  Counters counters;
};

// The descriptors and strings the DLLs hand out.
void Describe(Device& d);

// Enters the device in SetupAPI, with its interface present and openable.
// false, with the reason printed, on failure.
bool Plug(HDEVINFO set, Device& d);
// Takes the interface away (a program's open now fails) and, with
// `forget`, the device's entries too.
void Unplug(HDEVINFO set, Device& d, bool forget);

}  // namespace host
