#include "engine/line.h"

#include <cstdio>

namespace sim {

std::string SimLineMismatch(const SimLineSettings& host, uint32_t controllerRate) {
  std::string why;
  char text[96];
  uint64_t low = uint64_t{controllerRate} * (100 - kSimRateTolerancePercent);
  uint64_t high = uint64_t{controllerRate} * (100 + kSimRateTolerancePercent);
  uint64_t hostScaled = uint64_t{host.rate} * 100;
  if (hostScaled < low || hostScaled > high) {
    std::snprintf(text, sizeof text, "host at %u baud, controller at %u", host.rate, controllerRate);
    why += text;
  }
  if (host.dataBits != 8 || host.parity || host.stopBits != 2) {
    std::snprintf(text, sizeof text, "%shost framing %u%c%u, controller 8N2", why.empty() ? "" : "; ",
                  host.dataBits, host.parity ? 'P' : 'N', host.stopBits);
    why += text;
  }
  return why;
}

}  // namespace sim
