// Which USB controller a run takes: the first one the search finds, or the
// one a name picks out (PENDREL_USB_DEVICE) by its serial number, its device
// path or the port it is plugged into. The device layers only report each
// device's names; whether a name fits is decided here.
#pragma once

#include <string>
#include <string_view>

// A device as the system names it, reported by a layer for each device it
// visits. A name the system does not give is empty.
struct UsbDeviceNames {
  // The path the link opens: /dev/hidrawN, usb:BBB:DDD, an interface path.
  std::string_view path = {};
  // Another path of the same device: /dev/bus/usb/BBB/DDD for usb:BBB:DDD.
  std::string_view otherPath = {};
  // The port of the USB device (for HID, the one above the interface):
  // Linux its sysfs name (1-1.4), Windows its location path
  // (PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)).
  std::string_view location = {};
  // Windows only: the location information (Port_#0004.Hub_#0001).
  std::string_view locationInfo = {};
  // The serial number string (iSerialNumber), UTF-8.
  std::string_view serial = {};
  // Windows names paths and ports without regard to case.
  bool ignoreCase = false;
};

enum class UsbNameKind {
  Any,       // no name: the first controller found
  Serial,    // serial=TEXT
  Path,      // begins with '/', '\' or usb:
  Location,  // anything else
};

struct UsbDeviceSelector {
  UsbNameKind kind = UsbNameKind::Any;
  std::string text;  // without "serial="
};

// An empty name selects any controller.
UsbDeviceSelector ParseUsbDeviceName(std::string_view name);
bool UsbNameMatches(const UsbDeviceSelector& selector, const UsbDeviceNames& names);

// The selection of this run, for both USB links' searches.
void SelectUsbDevice(std::string_view name);
const UsbDeviceSelector& SelectedUsbDevice();
// Whether this run's selection leaves the device in. A layer whose search
// opens devices exclusively (a bulk interface claimed) asks before it opens
// one, so that a run never takes hold of a controller another run is using.
bool UsbSelectionAllows(const UsbDeviceNames& names);
// Whether the selection names a serial number. A layer that must ask the
// device for it (HID.DLL's serial number string) asks only then, so that a
// run without a name makes the calls it always made.
bool UsbSelectionNeedsSerial();
