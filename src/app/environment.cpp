#include "app/environment.h"

#include <string_view>

#include "link/ethernet/eth_link.h"
#include "link/usb/usb_select.h"

namespace {

std::string_view Value(const char* (*lookup)(const char*), const char* name) {
  const char* value = lookup(name);
  return value == nullptr ? std::string_view() : std::string_view(value);
}

}  // namespace

void ApplyEnvironment(RunOptions& options, const char* (*lookup)(const char* name)) {
  SelectUsbDevice(Value(lookup, "PENDREL_USB_DEVICE"));
  SetEthDiscoveryAddress(Value(lookup, "PENDREL_ETH_ADDRESS"));
  if (options.hasPassword) return;
  const std::string_view password = Value(lookup, "PENDREL_PASSWORD");
  if (!password.empty() && !SetEthPassword(password)) options.invalid = true;
}
