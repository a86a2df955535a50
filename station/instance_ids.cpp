#include "instance_ids.h"

#include <cctype>
#include <string_view>

namespace {

// Bus drivers that vendors put between a USB device and its COM port: the
// port's instance id is theirs ("FTDIBUS\VID_0403+PID_6001+A1B2C3A\0000"),
// its parent the USB device.
constexpr std::string_view kBusesOnUsb[] = {"FTDIBUS"};

std::string Upper(std::string_view s) {
  std::string u(s);
  for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

std::string Enumerator(const std::string& id) { return Upper(id.substr(0, id.find('\\'))); }

// The last part of a USB device's id is its serial number, unless Windows
// made one up for a device without (those hold '&').
std::string SerialOf(const std::string& id) {
  std::string last = id.substr(id.rfind('\\') + 1);
  return last.find('&') == std::string::npos ? last : std::string();
}

bool IsBusOnUsb(const std::string& enumerator) {
  for (std::string_view bus : kBusesOnUsb)
    if (enumerator == bus) return true;
  return false;
}

}  // namespace

UsbAncestry UsbAncestryOf(const std::vector<std::string>& instanceIds) {
  UsbAncestry found;
  for (const std::string& id : instanceIds) {
    std::string enumerator = Enumerator(id);
    if (IsBusOnUsb(enumerator)) continue;
    if (enumerator != "USB") return found;  // a motherboard's UART, a PCI card, a Bluetooth link ...
    // One interface of a composite device: the device is its parent.
    if (Upper(id).find("&MI_") != std::string::npos) continue;
    found.onUsb = true;
    found.serial = SerialOf(id);
    return found;
  }
  return found;
}
