#include "link/usb/usb_select.h"

namespace {

UsbDeviceSelector gSelected;

constexpr std::string_view kSerialPrefix = "serial=";

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// ASCII case only: device paths and location paths are ASCII, and a wider
// folding would have to guess the system's rules.
bool SameText(std::string_view a, std::string_view b, bool ignoreCase) {
  if (!ignoreCase) return a == b;
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// An empty name of the device never matches: a name was given.
bool Fits(std::string_view wanted, std::string_view given, bool ignoreCase) {
  return !given.empty() && SameText(wanted, given, ignoreCase);
}

}  // namespace

UsbDeviceSelector ParseUsbDeviceName(std::string_view name) {
  if (name.empty()) return {};
  if (StartsWith(name, kSerialPrefix)) {
    return {UsbNameKind::Serial, std::string(name.substr(kSerialPrefix.size()))};
  }
  if (name[0] == '/' || name[0] == '\\' || StartsWith(name, "usb:")) {
    return {UsbNameKind::Path, std::string(name)};
  }
  return {UsbNameKind::Location, std::string(name)};
}

bool UsbNameMatches(const UsbDeviceSelector& selector, const UsbDeviceNames& names) {
  const std::string_view wanted = selector.text;
  const bool fold = names.ignoreCase;
  switch (selector.kind) {
    case UsbNameKind::Any: return true;
    case UsbNameKind::Serial: return Fits(wanted, names.serial, false);
    case UsbNameKind::Path: return Fits(wanted, names.path, fold) || Fits(wanted, names.otherPath, fold);
    case UsbNameKind::Location:
      return Fits(wanted, names.location, fold) || Fits(wanted, names.locationInfo, fold);
  }
  return false;
}

void SelectUsbDevice(std::string_view name) { gSelected = ParseUsbDeviceName(name); }

const UsbDeviceSelector& SelectedUsbDevice() { return gSelected; }

bool UsbSelectionAllows(const UsbDeviceNames& names) { return UsbNameMatches(gSelected, names); }

bool UsbSelectionNeedsSerial() { return gSelected.kind == UsbNameKind::Serial; }
