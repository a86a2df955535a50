#include "link/usb/hid_report_descriptor.h"

#include <array>
#include <vector>

namespace {

struct Globals {
  uint32_t reportSize = 0;
  uint32_t reportCount = 0;
  uint8_t reportId = 0;
};

// Item prefixes with the size bits masked off.
constexpr uint8_t kInput = 0x80, kOutput = 0x90;
constexpr uint8_t kReportSize = 0x74, kReportId = 0x84, kReportCount = 0x94;
constexpr uint8_t kPush = 0xA4, kPop = 0xB4;
constexpr uint8_t kLongItem = 0xFE;

uint16_t LengthOf(const std::array<uint64_t, 256>& bits) {
  uint64_t most = 0;
  for (uint64_t b : bits) most = b > most ? b : most;
  if (most == 0) return 0;
  uint64_t bytes = (most + 7) / 8 + 1;
  return bytes > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(bytes);
}

}  // namespace

HidReportLengths ParseHidReportLengths(std::span<const uint8_t> d) {
  std::array<uint64_t, 256> inputBits{};
  std::array<uint64_t, 256> outputBits{};
  Globals globals;
  std::vector<Globals> stack;
  HidReportLengths result;
  size_t at = 0;
  while (at < d.size()) {
    const uint8_t prefix = d[at];
    if (prefix == kLongItem) {
      if (at + 1 >= d.size()) break;
      at += 3 + d[at + 1];
      continue;
    }
    static constexpr size_t kSizes[] = {0, 1, 2, 4};
    const size_t size = kSizes[prefix & 3];
    if (at + 1 + size > d.size()) break;
    uint32_t value = 0;
    for (size_t i = 0; i < size; ++i) value |= static_cast<uint32_t>(d[at + 1 + i]) << (8 * i);
    switch (prefix & 0xFC) {
      case kReportSize: globals.reportSize = value; break;
      case kReportCount: globals.reportCount = value; break;
      case kReportId:
        globals.reportId = static_cast<uint8_t>(value);
        result.usesReportIds = true;
        break;
      case kPush: stack.push_back(globals); break;
      case kPop:
        if (!stack.empty()) {
          globals = stack.back();
          stack.pop_back();
        }
        break;
      case kInput: inputBits[globals.reportId] += uint64_t{globals.reportSize} * globals.reportCount; break;
      case kOutput: outputBits[globals.reportId] += uint64_t{globals.reportSize} * globals.reportCount; break;
      default: break;
    }
    at += 1 + size;
  }
  result.input = LengthOf(inputBits);
  result.output = LengthOf(outputBits);
  return result;
}
