// Placeholder until the Ethernet link lands.
#include "app/status.h"
#include "link/ethernet/eth_link.h"

int EthStartup() { return 1; }
void EthCleanup() {}
int SetEthPassword(std::string_view text) { return text.size() <= 16; }
int EthOpen() { return SetLastStatus(0x40B); }
int EthClose() { return 1; }
int EthSend(const uint8_t*, uint32_t) { return 1; }
int EthReceiveByte(uint8_t*) { return SetLastStatus(0x408); }
int EthSetTimeouts(uint32_t r, uint32_t) { return r <= 200 ? 200 : static_cast<int>(r); }
