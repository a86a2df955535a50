// PENDREL_USB_DEVICE: which names pick which controller. (The searches of
// both links taking only the one named run against emulated devices: the
// umockdev Selection tests, test_wine_usb32_select.py.)
#include <gtest/gtest.h>

#include <string>

#include "link/usb/usb_select.h"

namespace {

bool Picks(std::string_view name, const UsbDeviceNames& names) {
  return UsbNameMatches(ParseUsbDeviceName(name), names);
}

TEST(UsbSelect, NamesAndWhatTheyMatch) {
  const UsbDeviceNames bulk{
      .path = "usb:001:004", .otherPath = "/dev/bus/usb/001/004", .location = "1-1.4", .serial = "A1b2"};
  EXPECT_EQ(ParseUsbDeviceName("").kind, UsbNameKind::Any);
  EXPECT_TRUE(Picks("", bulk));
  EXPECT_TRUE(Picks("serial=A1b2", bulk));
  EXPECT_FALSE(Picks("serial=A1B2", bulk));  // serial numbers are compared exactly
  EXPECT_FALSE(Picks("serial=", bulk));
  EXPECT_FALSE(Picks("A1b2", bulk));  // a bare text is a port
  EXPECT_TRUE(Picks("usb:001:004", bulk));
  EXPECT_TRUE(Picks("/dev/bus/usb/001/004", bulk));
  EXPECT_FALSE(Picks("/dev/bus/usb/001/005", bulk));
  EXPECT_TRUE(Picks("1-1.4", bulk));
  EXPECT_FALSE(Picks("1-1", bulk));
  EXPECT_FALSE(Picks("1-1.4.1", bulk));

  // A device the system gives no serial number or location never matches one.
  EXPECT_FALSE(Picks("serial=", UsbDeviceNames{.path = "/dev/hidraw0"}));
  EXPECT_FALSE(Picks("1-2", UsbDeviceNames{.path = "/dev/hidraw0"}));

  // Linux names keep their case; Windows' paths and ports do not.
  EXPECT_FALSE(Picks("/dev/HIDRAW0", UsbDeviceNames{.path = "/dev/hidraw0"}));
  const UsbDeviceNames windows{.path = R"(\\?\hid#vid_0483&pid_5750#7&1&0&0000#{4d1e55b2})",
                               .location = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)",
                               .locationInfo = "Port_#0004.Hub_#0001",
                               .serial = "A1b2",
                               .ignoreCase = true};
  EXPECT_TRUE(Picks(R"(\\?\HID#VID_0483&PID_5750#7&1&0&0000#{4D1E55B2})", windows));
  EXPECT_TRUE(Picks("pciroot(0)#pci(1400)#usbroot(0)#usb(4)", windows));
  EXPECT_TRUE(Picks("PORT_#0004.HUB_#0001", windows));
  EXPECT_FALSE(Picks("serial=a1b2", windows));
}

}  // namespace
