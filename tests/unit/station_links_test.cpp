// pendrel-station on every link: unit names and how a child is told its
// controller, the controllers a USB name picks, the settle time of --watch.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"
#include "station_args.h"
#include "unit.h"
#include "unit_name.h"

namespace {

TEST(StationUnitNames, ChildEnvironmentIsTheStationsEdited) {
  const std::vector<std::string> current = {"PATH=/bin", "PENDREL_USB_DEVICE=1-9", "=C:=C:\\work",
                                            "Pendrel_Eth_Address=10.0.0.1", "HOME=/root"};
  const std::vector<std::string> edits = {"PENDREL_USB_DEVICE=1-2", "PENDREL_ETH_ADDRESS",
                                          "PENDREL_PASSWORD=pw"};
  EXPECT_EQ(EditEnvironment(current, edits, false),
            (std::vector<std::string>{"PATH=/bin", "=C:=C:\\work", "Pendrel_Eth_Address=10.0.0.1",
                                      "HOME=/root", "PENDREL_USB_DEVICE=1-2", "PENDREL_PASSWORD=pw"}));
  // -usb: the station's own variable must not pick a controller for it.
  EXPECT_EQ(ChildEnvironmentEdits(UnitLink::Usb, "", ""),
            (std::vector<std::string>{"PENDREL_USB_DEVICE", "PENDREL_ETH_ADDRESS"}));
  // Windows: one variable whatever its case; "=C:" entries stay as they are.
  EXPECT_EQ(EditEnvironment(current, edits, true),
            (std::vector<std::string>{"PATH=/bin", "=C:=C:\\work", "HOME=/root", "PENDREL_USB_DEVICE=1-2",
                                      "PENDREL_PASSWORD=pw"}));
}

TEST(StationUnitNames, BadNamesAndMixesAreRefused) {
  const std::vector<std::vector<const char*>> bad = {
      {"program", "img.bin", "eth:192.168.7.020"},
      {"program", "img.bin", "eth:192.168.7"},
      {"program", "img.bin", "eth:192.168.7.20."},
      {"program", "img.bin", "eth:255.255.255.255"},
      {"program", "img.bin", "eth:"},
      {"program", "img.bin", "usb:"},
      {"program", "img.bin", "usb:serial="},
      {"program", "img.bin", "-pusb:1-4"},
      {"program", "img.bin", "-usb", "usb:1-4"},
      {"program", "img.bin", "-eth", "eth:10.0.0.2"},
      {"program", "img.bin", "usb:serial=A1", "--watch"},
      {"program", "img.bin", "usb:/dev/hidraw0", "--watch"},
      {"program", "img.bin", "eth:10.0.0.2", "--watch"},
      {"program", "img.bin", "usb:1-4", "--settle", "1"},
      {"program", "img.bin", "usb:1-4", "--watch", "--settle", "-1"},
      {"list", "--usb"},
  };
  ExpectEachRefusedInOneLine(bad);
  StationOptions o;
  std::string error;
  ASSERT_TRUE(ParseStation(
      {"program", "img.bin", "usb:1-4", "/dev/ttyUSB0", "--watch", "--settle", "0.5", "-w1234567890123456"},
      &o, &error))
      << error;
  EXPECT_DOUBLE_EQ(o.settleSeconds, 0.5);
  ASSERT_TRUE(ParseStation({"list", "--eth"}, &o, &error)) << error;
  EXPECT_TRUE(o.listEth);
}

std::vector<LinkInfo> Controllers() {
  LinkInfo bulk{"usb-bulk", "/dev/bus/usb/003/007", "0483:1512", "TALO42", "", "3-1", "", "usb:003:007"};
  LinkInfo hid{"usb-hid", "/dev/hidraw2", "0483:5750", "H2", "Talo Controller", "1-1.4", "", ""};
  LinkInfo win{"usb-hid",
               "\\\\?\\hid#vid_0483&pid_5750#7&1a&0&0000#{4d1e55b2}",
               "0483:5750",
               "talo42",
               "",
               "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)",
               "Port_#0004.Hub_#0001",
               ""};
  return {bulk, hid, win};
}

std::vector<std::string> Picked(const std::string& target, bool ignoreCase) {
  static const std::vector<LinkInfo> all = Controllers();
  std::vector<std::string> locations;
  for (const LinkInfo* l : MatchUsb(all, target, ignoreCase)) locations.push_back(l->location);
  return locations;
}

TEST(StationUnitNames, UsbNamesPickControllersAsPendrelDoes) {
  using V = std::vector<std::string>;
  EXPECT_EQ(Picked("1-1.4", false), V{"1-1.4"});
  EXPECT_EQ(Picked("1-1", false), V{});                // the hub above it is not its port
  EXPECT_EQ(Picked("serial=TALO42", true), V{"3-1"});  // serial numbers keep their case
  EXPECT_EQ(Picked("/dev/bus/usb/003/007", false), V{"3-1"});
  EXPECT_EQ(Picked("usb:003:007", false), V{"3-1"});  // pendrel's own spelling of that path
  EXPECT_EQ(Picked("pciroot(0)#pci(1400)#usbroot(0)#usb(4)", true),
            V{"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)"});
  EXPECT_EQ(Picked("pciroot(0)#pci(1400)#usbroot(0)#usb(4)", false), V{});
  EXPECT_EQ(Picked("PORT_#0004.HUB_#0001", true), V{"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)"});
  EXPECT_EQ(Picked("\\\\?\\HID#VID_0483&PID_5750#7&1A&0&0000#{4D1E55B2}", true),
            V{"PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(4)"});

  // The same controller named twice is seen, however it is spelt.
  EXPECT_EQ(CanonicalUsbTarget("usb:003:007", false), CanonicalUsbTarget("/dev/bus/usb/003/007", false));
  EXPECT_NE(CanonicalUsbTarget("usb:3:7", false), CanonicalUsbTarget("/dev/bus/usb/003/007", false));
  EXPECT_EQ(CanonicalUsbTarget("Port_#0004.Hub_#0001", true),
            CanonicalUsbTarget("PORT_#0004.HUB_#0001", true));
  EXPECT_NE(CanonicalUsbTarget("serial=ab", true), CanonicalUsbTarget("serial=AB", true));
  auto usb = [](const char* target) { return UnitName{UnitLink::Usb, std::string("usb:") + target, target}; };
  EXPECT_EQ(ControllerNamedTwice(Controllers(), {usb("1-1.4"), usb("serial=H2")}, false),
            "usb:1-1.4 and usb:serial=H2");
  EXPECT_EQ(ControllerNamedTwice(Controllers(),
                                 {usb("serial=TALO42"), usb("/dev/hidraw2"), usb("usb:003:007")}, false),
            "usb:serial=TALO42 and usb:usb:003:007");
  EXPECT_EQ(ControllerNamedTwice(Controllers(), {usb("serial=TALO42"), usb("1-1.4"), usb("9-9")}, false), "");

  // A record names the controller only when one is certain: -usb with one there.
  std::vector<LinkInfo> all = Controllers();
  EXPECT_EQ(ControllerOfUnit(all, "", false), nullptr);
  EXPECT_EQ(ControllerOfUnit({all[1]}, "", false)->location, "1-1.4");
  EXPECT_EQ(ControllerOfUnit(all, "serial=H2", false)->location, "1-1.4");
  all[0].serial = "H2";  // two controllers with one serial number: it names neither
  EXPECT_EQ(ControllerOfUnit(all, "serial=H2", false), nullptr);
  EXPECT_EQ(ListLine(all[1], all),
            "usb-hid  usb:1-1.4  serial H2 (not unique)  /dev/hidraw2  0483:5750  Talo Controller");
  EXPECT_EQ(ListLine(Controllers()[1], Controllers()),
            "usb-hid  usb:1-1.4  usb:serial=H2  /dev/hidraw2  0483:5750  Talo Controller");
}

TEST(StationWatch, PresenceCountsOnceItHasStoodForTheSettleTime) {
  const double settle = 1.5;
  SettledPresence p;
  // (time, reading) -> whether the settled presence changes, and to what
  struct Step {
    double t;
    bool present, changes, settled;
  };
  const Step steps[] = {
      {0.0, false, false, false}, {0.2, true, false, false},  // a board touches the socket ...
      {0.8, false, false, false},                             // ... and bounces off: nothing
      {1.0, true, false, false},  {2.4, true, false, false},
      {2.5, true, true, true},    // there for 1.5 s: programmed
      {9.0, false, false, true},  // pendrel rebooted it: the controller re-enumerates
      {9.6, true, false, true},   // back within the settle time: the same board, not a new one
      {20.0, false, false, true}, {21.4, false, false, true},
      {21.6, false, true, false},  // gone for 1.5 s: the socket is empty
  };
  for (const Step& s : steps) {
    EXPECT_EQ(FeedPresence(p, s.present, s.t, settle), s.changes) << "at " << s.t;
    EXPECT_EQ(p.settled, s.settled) << "at " << s.t;
  }
}

}  // namespace
