// What pendrel takes from its environment beside the command line. Unset or
// empty, a variable changes nothing.
//   PENDREL_USB_DEVICE   with -usb, the one controller to take: serial=TEXT,
//                        a device path, or the port it is plugged into
//   PENDREL_ETH_ADDRESS  with -eth, the one controller's IPv4 address:
//                        discovery asks it alone instead of the broadcast
//   PENDREL_PASSWORD     the Ethernet password when no -w is given; longer
//                        than 16 characters, the command line is unusable
#pragma once

#include "app/cmdline.h"

// Reads the variables through `lookup` (std::getenv, or a test's table).
void ApplyEnvironment(RunOptions& options, const char* (*lookup)(const char* name));
