// Windows device instance ids ("USB\VID_0403&PID_6001\A1B2C3"), read
// without Windows: whether a serial port's device is on USB, and the USB
// serial number of the device it is.
#pragma once

#include <string>
#include <vector>

struct UsbAncestry {
  bool onUsb = false;
  std::string serial;  // empty when the device has none (Windows made one up)
};

// instanceIds: the port's device first, then its parent, grandparent ... as
// the device tree gives them.
UsbAncestry UsbAncestryOf(const std::vector<std::string>& instanceIds);
