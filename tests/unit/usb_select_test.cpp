// PENDREL_USB_DEVICE: which names pick which controller, and the USB
// dispatch (bulk first, then HID) taking only the one named.
#include <gtest/gtest.h>

#include <string>

#include "base/status.h"
#include "link/link.h"
#include "link/usb/hid_link.h"
#include "link/usb/usb_select.h"
#include "link/usb/winusb_link.h"
#include "support/fake_hid.h"
#include "support/fake_winusb.h"

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

class UsbSelectDispatch : public ::testing::Test {
 protected:
  // Two bulk controllers and two HID ones, each at a port of its own.
  void SetUp() override {
    ResetLinkState();
    fake::FakeWinUsbConfig bulk;
    bulk.devices = {{.path = "usb:002:003", .location = "2-1", .serial = "B1"},
                    {.path = "usb:002:004", .location = "2-2", .serial = "B2"}};
    fake::winusb.Install(bulk);
    fake::FakeHidConfig hid;
    hid.devices = {{.path = "/dev/hidraw0", .location = "1-1", .serial = "H1"},
                   {.path = "/dev/hidraw1", .location = "1-2", .serial = "H2"}};
    fake::hid.Install(hid);
  }
  void TearDown() override {
    if (LinkState.isOpen) LinkClose();
    SelectUsbDevice("");
    ResetLinkState();
    fake::winusb.Uninstall();
    fake::hid.Uninstall();
  }
  // The link and the device the -usb open took for `name`; "" when none.
  std::string Opened(const char* name) {
    SelectUsbDevice(name);
    if (!LinkOpen("", 0, false, LinkKind::UsbHid)) return "";
    const bool bulk = LinkState.kind == LinkKind::UsbWinUsb;
    const uint8_t frame[] = {7};
    EXPECT_EQ(LinkSend(frame, 1), 1);
    const auto written = bulk ? fake::winusb.Written() : fake::hid.Written();
    EXPECT_FALSE(written.empty());
    std::string device = bulk ? "bulk " + std::to_string(fake::winusb.openDevice)
                              : "hid " + std::to_string(fake::hid.openDevice);
    LinkClose();
    return device;
  }
};

TEST_F(UsbSelectDispatch, TakesOnlyTheNamedController) {
  EXPECT_EQ(Opened(""), "bulk 0");
  EXPECT_EQ(Opened("2-2"), "bulk 1");
  EXPECT_EQ(Opened("serial=B2"), "bulk 1");
  EXPECT_EQ(Opened("usb:002:004"), "bulk 1");
  // Named but not a bulk controller: the HID search takes it.
  EXPECT_EQ(Opened("1-2"), "hid 1");
  EXPECT_EQ(Opened("serial=H1"), "hid 0");
  EXPECT_EQ(Opened("/dev/hidraw1"), "hid 1");
}

TEST_F(UsbSelectDispatch, ANameThatMatchesNothingIsANotFound) {
  for (const char* name : {"3-1", "serial=H3", "/dev/hidraw7", "serial="}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(Opened(name), "");
    EXPECT_EQ(LastStatusCode(), 0x30D);
    EXPECT_STREQ(LastStatusText(), "No Talo USB devices found");
  }
  EXPECT_EQ(fake::winusb.CountersNow().opens, 0);
  EXPECT_EQ(fake::hid.CountersNow().openWrites, 0);
}

}  // namespace
