// Windows Sockets 1.1 through WSOCK32.DLL.
#include <winsock.h>

#include <cstring>

#include "link/ethernet/eth_socket.h"

namespace {

SOCKET Sock(EthSocket socket) { return static_cast<SOCKET>(socket); }

EthSocket FromSock(SOCKET socket) {
  return socket == INVALID_SOCKET ? kInvalidEthSocket : static_cast<EthSocket>(socket);
}

sockaddr_in ToSockaddr(EthEndpoint endpoint) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(endpoint.port);
  address.sin_addr.s_addr = htonl(endpoint.address);
  return address;
}

bool Startup() {
  WSADATA data;
  // Version word 0x0022: the system grants its highest version, which we take
  // without looking at the description it returns.
  return WSAStartup(0x0022, &data) == 0;
}

void Cleanup() { WSACleanup(); }

EthSocket OpenDatagram() { return FromSock(::socket(AF_INET, SOCK_DGRAM, 0)); }
EthSocket OpenStream() { return FromSock(::socket(AF_INET, SOCK_STREAM, 0)); }

bool EnableBroadcast(EthSocket socket) {
  int32_t one = 1;
  return ::setsockopt(Sock(socket), SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&one),
                      sizeof one) == 0;
}

int32_t SendTo(EthSocket socket, const uint8_t* bytes, uint32_t count, EthEndpoint to) {
  sockaddr_in address = ToSockaddr(to);
  int n = ::sendto(Sock(socket), reinterpret_cast<const char*>(bytes), static_cast<int>(count), 0,
                   reinterpret_cast<const sockaddr*>(&address), sizeof address);
  return n == SOCKET_ERROR ? -1 : n;
}

int32_t WaitReadable(EthSocket socket, uint32_t seconds, uint32_t microseconds) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(Sock(socket), &readable);
  timeval limit{static_cast<long>(seconds), static_cast<long>(microseconds)};
  int n = ::select(0, &readable, nullptr, nullptr, &limit);
  if (n == SOCKET_ERROR) return -1;
  return n == 0 ? 0 : 1;
}

int32_t ReceiveFrom(EthSocket socket, uint8_t* buffer, uint32_t capacity, EthEndpoint* from,
                    int32_t* fromLength) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  int length = sizeof address;
  // A datagram longer than the buffer fails here with WSAEMSGSIZE.
  int n = ::recvfrom(Sock(socket), reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0,
                     reinterpret_cast<sockaddr*>(&address), &length);
  if (n == SOCKET_ERROR) return -1;
  from->address = ntohl(address.sin_addr.s_addr);
  from->port = ntohs(address.sin_port);
  *fromLength = length;
  return n;
}

bool Connect(EthSocket socket, EthEndpoint to) {
  sockaddr_in address = ToSockaddr(to);
  return ::connect(Sock(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

int32_t Send(EthSocket socket, const uint8_t* bytes, uint32_t count) {
  int n = ::send(Sock(socket), reinterpret_cast<const char*>(bytes), static_cast<int>(count), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

int32_t Receive(EthSocket socket, uint8_t* buffer, uint32_t capacity) {
  int n = ::recv(Sock(socket), reinterpret_cast<char*>(buffer), static_cast<int>(capacity), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

void Close(EthSocket socket) { ::closesocket(Sock(socket)); }

}  // namespace

const EthSocketApi kSystemEthSocket = {
    .startup = Startup,
    .cleanup = Cleanup,
    .openDatagram = OpenDatagram,
    .openStream = OpenStream,
    .enableBroadcast = EnableBroadcast,
    .sendTo = SendTo,
    .waitReadable = WaitReadable,
    .receiveFrom = ReceiveFrom,
    .connect = Connect,
    .send = Send,
    .receive = Receive,
    .close = Close,
};
