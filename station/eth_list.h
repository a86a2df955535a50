// pendrel-station list --eth: one discovery request, broadcast to the local
// network as pendrel broadcasts it, and every controller that answers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/ethernet/eth_socket.h"

struct EthController {
  uint32_t address = 0;  // host byte order
  bool inUse = false;    // it has a connection with another application or PC
};

// Sends the request once and collects replies until the network is quiet for
// pendrel's discovery wait; each address once, in address order. False with
// the reason (and the system's text) when the socket layer failed.
bool DiscoverEthControllers(const EthSocketApi& api, std::vector<EthController>* found, std::string* error);
// "eth  eth:192.0.2.7  free" / "... in use"
std::string EthListLine(const EthController& c);
