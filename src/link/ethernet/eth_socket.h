// The operating system's side of the Ethernet link, as a table of entry
// points: BSD sockets (eth_socket_posix.cpp) or Winsock through WSOCK32
// (eth_socket_win32.cpp). Each entry is one socket call and decides
// nothing; discovery, the login and every status live in the portable files.
//
// A failing entry leaves the socket error number set (errno or
// WSAGetLastError) for the status that the caller records straight after.
// Every entry blocks the calling thread; only waitReadable has a limit of
// its own.
#pragma once

#include <cstdint>

using EthSocket = intptr_t;
inline constexpr EthSocket kInvalidEthSocket = -1;

// An IPv4 endpoint in host byte order; the shim converts to and from the
// platform's 16-byte socket address.
struct EthEndpoint {
  uint32_t address = 0;
  uint16_t port = 0;
};

struct EthSocketApi {
  // Starts the socket layer (WSAStartup with version word 0x0022); true on
  // success. A successful no-op where sockets need no start-up.
  bool (*startup)();
  // Ends the socket layer (WSACleanup); a no-op where there is none.
  void (*cleanup)();
  // New blocking IPv4 sockets; kInvalidEthSocket on failure.
  EthSocket (*openDatagram)();
  EthSocket (*openStream)();
  // SO_BROADCAST = 1 (a 32-bit integer) at the socket level.
  bool (*enableBroadcast)(EthSocket socket);
  // One sendto; the number of bytes sent or -1.
  int32_t (*sendTo)(EthSocket socket, const uint8_t* bytes, uint32_t count, EthEndpoint to);
  // select for reading on this one socket, for at most seconds + microseconds
  // (microseconds below 1000000): 1 readable, 0 the time passed, -1 failure.
  int32_t (*waitReadable)(EthSocket socket, uint32_t seconds, uint32_t microseconds);
  // One recvfrom of one datagram into at most `capacity` bytes, flags 0: the
  // datagram's length, 0 for an empty one, -1 on failure. A datagram longer
  // than `capacity` is a failure on every platform (as Winsock reports it),
  // never a silently cut one. On success `from` and `fromLength` (the
  // address length the call reported) are set.
  int32_t (*receiveFrom)(EthSocket socket, uint8_t* buffer, uint32_t capacity, EthEndpoint* from,
                         int32_t* fromLength);
  // Blocking connect with the system's own time limit; true on success.
  bool (*connect)(EthSocket socket, EthEndpoint to);
  // One send, flags 0 (never raises a signal when the peer has gone): the
  // number of bytes taken or -1.
  int32_t (*send)(EthSocket socket, const uint8_t* bytes, uint32_t count);
  // One recv of at most `capacity` bytes, flags 0: bytes, 0 when the peer
  // has closed the connection, -1 on failure.
  int32_t (*receive)(EthSocket socket, uint8_t* buffer, uint32_t capacity);
  // closesocket / close.
  void (*close)(EthSocket socket);
};

// The system's table, defined by eth_socket_posix.cpp or eth_socket_win32.cpp.
extern const EthSocketApi kSystemEthSocket;

// Tests install a fake table; nullptr puts the system's back.
void InstallEthSocketApi(const EthSocketApi* api);
