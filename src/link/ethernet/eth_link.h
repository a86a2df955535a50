// Ethernet link: UDP discovery, one TCP connection, the password login.
#pragma once

#include <cstdint>
#include <string_view>

int EthStartup();                           // socket layer and the two sockets
void EthCleanup();                          // ends the socket layer (WSACleanup)
int SetEthPassword(std::string_view text);  // 0 when longer than 16 characters
// Discovery asks this one address instead of the broadcast; empty: the
// broadcast. A text that is no IPv4 address makes discovery find nothing.
void SetEthDiscoveryAddress(std::string_view text);
int EthOpen();
int EthClose();
int EthSend(const uint8_t* bytes, uint32_t count);
int EthReceiveByte(uint8_t* byte);
int EthSetTimeouts(uint32_t receiveMs, uint32_t sendMs);
