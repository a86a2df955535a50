// The few socket calls the tests make beside the shim under test, one file
// per system (system_socket_posix.cpp, system_socket_win32.cpp): the socket
// error number, and the server side of a loopback peer, which the shim has
// no entries for.
#pragma once

#include <cstdint>

#include "link/ethernet/eth_socket.h"

namespace system_socket {

// Leaves `error` behind as a failing socket call does (errno, WSASetLastError).
void FakeSocketError(int error);
// The error number the last failing socket call left.
int LastSocketError();
// What receiving a datagram longer than the buffer fails with.
extern const int kDatagramTooLong;

// Binds the socket to 127.0.0.1 and a port of the system's choosing; that
// port, or 0 on failure.
uint16_t BindLoopback(EthSocket socket);
bool Listen(EthSocket socket);
// One connection taken from a listening socket; kInvalidEthSocket on failure.
EthSocket Accept(EthSocket listener);

}  // namespace system_socket
