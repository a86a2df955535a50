// Report lengths from a HID report descriptor, the way Windows states them
// in HIDP_CAPS: the longest report of a direction in bytes, plus one byte
// for the report ID (present in the length whether or not the device
// numbers its reports).
#pragma once

#include <cstdint>
#include <span>

struct HidReportLengths {
  uint16_t input = 0;   // 0 when the device has no input reports
  uint16_t output = 0;  // 0 when it has no output reports
  bool usesReportIds = false;
};

// Walks the short items (long items are skipped): Report Size, Report Count
// and Report ID globals with Push/Pop, Input and Output main items. A
// descriptor cut off inside an item ends the walk at that item.
HidReportLengths ParseHidReportLengths(std::span<const uint8_t> descriptor);
