#include "app/environment.h"

#include <string_view>

#include "link/usb/usb_select.h"

namespace {

std::string_view Value(const char* (*lookup)(const char*), const char* name) {
  const char* value = lookup(name);
  return value == nullptr ? std::string_view() : std::string_view(value);
}

}  // namespace

void ApplyEnvironment(RunOptions&, const char* (*lookup)(const char* name)) {
  SelectUsbDevice(Value(lookup, "PENDREL_USB_DEVICE"));
}
