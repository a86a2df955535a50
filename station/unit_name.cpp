#include "unit_name.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "link/ethernet/eth_state.h"

namespace {

constexpr std::string_view kUsbPrefix = "usb:";
constexpr std::string_view kEthPrefix = "eth:";
constexpr std::string_view kSerialPrefix = "serial=";

bool StartsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

std::string Folded(std::string s, bool ignoreCase) {
  if (ignoreCase)
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string NameOf(const std::string& entry) {
  // Windows keeps entries such as "=C:=C:\dir": the name never starts at its '='.
  size_t eq = entry.find('=', 1);
  return entry.substr(0, eq);
}

bool ParseEthTarget(const std::string& text, UnitName* out, std::string* error) {
  uint32_t address = 0;
  std::string_view given = std::string_view(text).substr(kEthPrefix.size());
  if (!ParseIpv4Address(given, &address)) {
    *error = "'" + text + "': eth: takes a controller's IPv4 address (eth:192.168.7.20)";
    return false;
  }
  // These two would reach every controller, or none: neither names one.
  if (address == 0 || address == 0xFFFFFFFFu) {
    *error = "'" + text + "' is not a controller's address";
    return false;
  }
  *out = {UnitLink::Eth, text, FormatIpv4(address)};
  return true;
}

}  // namespace

bool ParseUnitName(const std::string& text, UnitName* out, std::string* error) {
  if (text.empty()) {
    *error = "an empty unit name";
    return false;
  }
  if (StartsWith(text, kEthPrefix)) return ParseEthTarget(text, out, error);
  if (!StartsWith(text, kUsbPrefix)) {
    *out = {UnitLink::Serial, text, text};
    return true;
  }
  std::string target = text.substr(kUsbPrefix.size());
  if (target.empty() || target == kSerialPrefix) {
    *error = "'" + text + "' names no controller (usb:LOCATION, usb:serial=TEXT or usb:PATH)";
    return false;
  }
  *out = {UnitLink::Usb, text, target};
  return true;
}

UnitName AnyController(UnitLink link) { return {link, LinkWord(link), ""}; }

std::string FormatIpv4(uint32_t a) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
  return text;
}

const char* LinkWord(UnitLink link) {
  switch (link) {
    case UnitLink::Usb: return "usb";
    case UnitLink::Eth: return "eth";
    case UnitLink::Serial: break;
  }
  return "serial";
}

std::vector<std::string> LinkArguments(UnitLink link, const std::string& target) {
  if (link == UnitLink::Serial) return {"-p" + target};
  return {std::string("-") + LinkWord(link)};
}

std::vector<std::string> ChildEnvironmentEdits(UnitLink link, const std::string& target,
                                               const std::string& password) {
  std::vector<std::string> edits = {"PENDREL_USB_DEVICE", "PENDREL_ETH_ADDRESS"};
  if (link == UnitLink::Usb && !target.empty()) edits[0] += "=" + target;
  if (link == UnitLink::Eth && !target.empty()) edits[1] += "=" + target;
  if (!password.empty()) edits.push_back("PENDREL_PASSWORD=" + password);
  return edits;
}

std::vector<std::string> EditEnvironment(const std::vector<std::string>& current,
                                         const std::vector<std::string>& edits, bool namesIgnoreCase) {
  std::vector<std::string> env;
  for (const std::string& entry : current) {
    bool edited = std::any_of(edits.begin(), edits.end(), [&](const std::string& e) {
      return Folded(NameOf(e), namesIgnoreCase) == Folded(NameOf(entry), namesIgnoreCase);
    });
    if (!edited) env.push_back(entry);
  }
  for (const std::string& e : edits)
    if (e.find('=', 1) != std::string::npos) env.push_back(e);
  return env;
}

std::string CanonicalUsbTarget(const std::string& target, bool ignoreCase) {
  if (ParseUsbDeviceName(target).kind == UsbNameKind::Serial) return target;
  unsigned bus = 0, device = 0;
  char own[16];
  if (std::sscanf(target.c_str(), "usb:%3u:%3u", &bus, &device) == 2 &&
      std::snprintf(own, sizeof own, "usb:%03u:%03u", bus, device) > 0 && target == own) {
    char path[40];
    std::snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", bus, device);
    return path;
  }
  return Folded(target, ignoreCase);
}

std::vector<const LinkInfo*> MatchUsb(const std::vector<LinkInfo>& controllers, const std::string& target,
                                      bool ignoreCase) {
  const UsbDeviceSelector selector = ParseUsbDeviceName(target);
  std::vector<const LinkInfo*> found;
  for (const LinkInfo& l : controllers) {
    const UsbDeviceNames names{.path = l.path,
                               .otherPath = l.otherPath,
                               .location = l.location,
                               .locationInfo = l.locationInfo,
                               .serial = l.serial,
                               .ignoreCase = ignoreCase};
    if (UsbNameMatches(selector, names)) found.push_back(&l);
  }
  return found;
}

std::string ControllerNamedTwice(const std::vector<LinkInfo>& controllers, const std::vector<UnitName>& units,
                                 bool ignoreCase) {
  std::vector<std::pair<const LinkInfo*, const UnitName*>> picked;
  for (const UnitName& u : units) {
    if (u.link != UnitLink::Usb || u.target.empty()) continue;
    for (const LinkInfo* c : MatchUsb(controllers, u.target, ignoreCase)) {
      for (const auto& [controller, unit] : picked)
        if (controller == c && unit->name != u.name) return unit->name + " and " + u.name;
      picked.emplace_back(c, &u);
    }
  }
  return {};
}

const LinkInfo* ControllerOfUnit(const std::vector<LinkInfo>& controllers, const std::string& target,
                                 bool ignoreCase) {
  if (target.empty()) return controllers.size() == 1 ? &controllers[0] : nullptr;
  std::vector<const LinkInfo*> found = MatchUsb(controllers, target, ignoreCase);
  return found.size() == 1 ? found[0] : nullptr;
}

std::string ListLine(const LinkInfo& l, const std::vector<LinkInfo>& all) {
  bool usb = l.kind != "serial";
  std::string line = l.kind;
  if (usb && !l.location.empty()) line += "  usb:" + l.location;
  if (usb && !l.serial.empty()) {
    size_t sharing = std::count_if(all.begin(), all.end(), [&](const LinkInfo& o) {
      return o.kind != "serial" && o.serial == l.serial;
    });
    line += sharing > 1 ? "  serial " + l.serial + " (not unique)" : "  usb:serial=" + l.serial;
  }
  line += "  " + l.path;
  if (!l.usbId.empty()) line += "  " + l.usbId;
  if (!usb && !l.serial.empty()) line += "  serial " + l.serial;
  if (!l.detail.empty()) line += "  " + l.detail;
  return line;
}
