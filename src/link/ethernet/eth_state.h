// The Ethernet link's process-wide record and the steps below EthOpen, for
// the link's own files and the tests.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "link/ethernet/eth_socket.h"

enum class LoginState : int32_t {
  AwaitGreeting = 0,  // also the state after a close or a failed receive
  AnswerSent = 1,
  LoggedIn = 2,
};

inline constexpr uint16_t DiscoveryPort = 3005;
inline constexpr uint32_t kEthBroadcastAddress = 0xFFFFFFFFu;  // 255.255.255.255
inline constexpr uint32_t kDiscoveryWaitMs = 500;
// The discovery request, and the two reply lengths and where a reply keeps
// its in-use word (pendrel-station's list reads replies the same way).
inline constexpr uint8_t kDiscoveryRequest[4] = {'z', 'a', 'r', 'n'};
inline constexpr int32_t kLongReplyLength = 54;
inline constexpr int32_t kShortReplyLength = 46;
inline constexpr size_t kInUseWordOffset = 50;
inline constexpr uint32_t kEthReceiveFloorMs = 200;
inline constexpr size_t kEthReceiveBufferSize = 256;
inline constexpr size_t kEthPasswordMax = 16;
// A controller that keeps sending blocks that are neither greeting, challenge
// nor verdict would otherwise hold the login open for ever.
inline constexpr uint32_t kLoginBlockLimit = 64;
// Likewise for datagrams during discovery: a network that never falls quiet
// for 500 ms ends the collection here, decided by what was counted.
inline constexpr uint32_t kDiscoveryDatagramLimit = 256;

// Where discovery asks: the broadcast, or one address (PENDREL_ETH_ADDRESS)
// whose reply alone counts; a text that is no IPv4 address asks no one.
enum class DiscoveryTarget : int32_t { Broadcast, Address, Unusable };

struct EthernetStateRecord {
  EthSocket udpSocket = kInvalidEthSocket;
  EthSocket tcpSocket = kInvalidEthSocket;
  EthEndpoint deviceAddress{};
  int32_t deviceAddressLength = 0;
  std::array<uint8_t, kEthReceiveBufferSize> receiveBuffer{};
  std::array<char, kEthPasswordMax + 1> password{};  // zero-terminated
  LoginState loginState = LoginState::AwaitGreeting;
  uint32_t receiveTimeoutMs = 500;
  DiscoveryTarget discoveryTarget = DiscoveryTarget::Broadcast;
  uint32_t discoveryAddress = kEthBroadcastAddress;
};

extern EthernetStateRecord EthernetState;

// 1 when exactly one free controller answered the broadcast, with
// deviceAddress set; 0 with the status recorded otherwise.
int EthDiscover();

// A dotted IPv4 address, four decimal numbers of 0 to 255 without leading
// zeros ("192.0.2.1"), in host byte order; false for anything else.
bool ParseIpv4Address(std::string_view text, uint32_t* address);

// Results of ReceiveWithin besides a byte count.
inline constexpr int32_t kReceiveTimedOut = -2;
inline constexpr int32_t kReceiveFailed = -1;

// Waits at most `milliseconds` for the socket to become readable, then
// receives at most `capacity` bytes: the count, 0 when the peer closed,
// -1 on a failed wait or receive, -2 when the time passed without data.
int32_t ReceiveWithin(EthSocket socket, uint8_t* buffer, uint32_t capacity, uint32_t milliseconds);

// The socket table in force (the system's, or a test's fake).
const EthSocketApi& EthApi();

// Puts the record back to its initial values without any socket call
// (tests only).
void ResetEthernetState();
