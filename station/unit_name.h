// How the user names a unit, and how its pendrel is told which controller is
// its own: a serial port on pendrel's command line; a USB or Ethernet
// controller through pendrel's environment (PENDREL_USB_DEVICE,
// PENDREL_ETH_ADDRESS), since its command line has no room for one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "link/usb/usb_select.h"
#include "system.h"

enum class UnitLink { Serial, Usb, Eth };

struct UnitName {
  UnitLink link = UnitLink::Serial;
  std::string name;    // as given: shown and recorded ("usb:1-1.4", "COM3", "usb" for -usb)
  std::string target;  // the port; the text after "usb:" / "eth:"; empty for -usb and -eth
};

// One unit as the user typed it; false with a one-line reason when it cannot be one.
bool ParseUnitName(const std::string& text, UnitName* out, std::string* error);
// The first controller pendrel finds on that link: the units of -usb and -eth.
UnitName AnyController(UnitLink link);
// 0xC0000207 as "192.0.2.7" (pendrel's ParseIpv4Address reads it back).
std::string FormatIpv4(uint32_t address);
const char* LinkWord(UnitLink link);  // "serial", "usb", "eth"

// The unit's link options on pendrel's command line (-pPORT, -usb, -eth).
std::vector<std::string> LinkArguments(UnitLink link, const std::string& target);
// Environment edits for the unit's pendrel: "NAME=value" sets, a bare NAME
// removes, so that a variable of the station's own environment never picks
// a unit's controller. The password goes to every child this way (empty: left as it is).
std::vector<std::string> ChildEnvironmentEdits(UnitLink link, const std::string& target,
                                               const std::string& password);
// `current` ("NAME=value" entries) with `edits` applied; names compared
// without case where the system does (Windows).
std::vector<std::string> EditEnvironment(const std::vector<std::string>& current,
                                         const std::vector<std::string>& edits, bool namesIgnoreCase);

// A USB name in one spelling per controller, so that the same controller
// named twice is seen: pendrel's usb:BBB:DDD as /dev/bus/usb/BBB/DDD, the
// case folded where the system ignores it (not in a serial number).
std::string CanonicalUsbTarget(const std::string& target, bool ignoreCase);
// The controllers (from UsbControllers()) the name picks: pendrel's own
// decision (UsbNameMatches), by serial number, device path, or location.
std::vector<const LinkInfo*> MatchUsb(const std::vector<LinkInfo>& controllers, const std::string& target,
                                      bool ignoreCase);

// Two USB units whose names pick one controller now present, however
// differently they are spelt ("usb:1-1.4 and usb:serial=A1"); empty when none do.
std::string ControllerNamedTwice(const std::vector<LinkInfo>& controllers, const std::vector<UnitName>& units,
                                 bool ignoreCase);

// The one controller a USB unit goes through, for its record: the one its
// name picks, or for -usb the only one there; nullptr when that is not one.
const LinkInfo* ControllerOfUnit(const std::vector<LinkInfo>& controllers, const std::string& target,
                                 bool ignoreCase);

// One line of `list` for a link: USB controllers by the names a unit takes
// (usb:LOCATION, usb:serial=TEXT; a serial number two controllers share is
// shown as such, since it names neither).
std::string ListLine(const LinkInfo& l, const std::vector<LinkInfo>& all);
