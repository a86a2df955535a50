// The controller's UART: whether the host's line settings let its bytes
// through, and what a mismatched line makes of them. Portable, so that the
// rules are unit-tested; the serial front end reads the host's settings.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

struct SimLineSettings {
  uint32_t rate = 0;     // baud
  uint8_t dataBits = 8;  // 5 to 8
  bool parity = false;
  uint8_t stopBits = 2;  // 1 or 2
};

// A UART samples within a few per cent of its rate; beyond that every byte
// comes out wrong.
inline constexpr uint32_t kSimRateTolerancePercent = 2;
// What a byte becomes on a line whose two ends disagree. Neither 0xAA nor
// ESC, so garbled bytes never start a frame.
inline constexpr uint8_t kSimGarbledByte = 0xFE;

// Empty when the host's settings are 8 data bits, no parity, 2 stop bits at
// the controller's rate; otherwise what is wrong, for the log.
std::string SimLineMismatch(const SimLineSettings& host, uint32_t controllerRate);

}  // namespace sim
