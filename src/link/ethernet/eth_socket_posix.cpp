// BSD sockets standing in for Winsock.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "link/ethernet/eth_socket.h"

namespace {

int Fd(EthSocket socket) { return static_cast<int>(socket); }

sockaddr_in ToSockaddr(EthEndpoint endpoint) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(endpoint.port);
  address.sin_addr.s_addr = htonl(endpoint.address);
  return address;
}

bool Startup() { return true; }
void Cleanup() {}

EthSocket OpenDatagram() {
  int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  return fd < 0 ? kInvalidEthSocket : fd;
}

EthSocket OpenStream() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  return fd < 0 ? kInvalidEthSocket : fd;
}

bool EnableBroadcast(EthSocket socket) {
  int32_t one = 1;
  return ::setsockopt(Fd(socket), SOL_SOCKET, SO_BROADCAST, &one, sizeof one) == 0;
}

int32_t SendTo(EthSocket socket, const uint8_t* bytes, uint32_t count, EthEndpoint to) {
  sockaddr_in address = ToSockaddr(to);
  ssize_t n = ::sendto(Fd(socket), bytes, count, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
                       sizeof address);
  return n < 0 ? -1 : static_cast<int32_t>(n);
}

int32_t WaitReadable(EthSocket socket, uint32_t seconds, uint32_t microseconds) {
  int fd = Fd(socket);
  // fd_set has room for FD_SETSIZE descriptors only; anything else would
  // write past it.
  if (fd < 0 || fd >= FD_SETSIZE) {
    errno = EBADF;
    return -1;
  }
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(fd, &readable);
  timeval limit{static_cast<time_t>(seconds), static_cast<suseconds_t>(microseconds)};
  int n = ::select(fd + 1, &readable, nullptr, nullptr, &limit);
  if (n < 0) return -1;
  return n == 0 ? 0 : 1;
}

int32_t ReceiveFrom(EthSocket socket, uint8_t* buffer, uint32_t capacity, EthEndpoint* from,
                    int32_t* fromLength) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  socklen_t length = sizeof address;
  // MSG_TRUNC makes recvfrom report the datagram's real length, so that a
  // long one fails here as it does under Winsock instead of arriving cut.
  ssize_t n =
      ::recvfrom(Fd(socket), buffer, capacity, MSG_TRUNC, reinterpret_cast<sockaddr*>(&address), &length);
  if (n < 0) return -1;
  if (static_cast<size_t>(n) > capacity) {
    errno = EMSGSIZE;
    return -1;
  }
  from->address = ntohl(address.sin_addr.s_addr);
  from->port = ntohs(address.sin_port);
  *fromLength = static_cast<int32_t>(length);
  return static_cast<int32_t>(n);
}

bool Connect(EthSocket socket, EthEndpoint to) {
  sockaddr_in address = ToSockaddr(to);
  int rc;
  do {
    rc = ::connect(Fd(socket), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

int32_t Send(EthSocket socket, const uint8_t* bytes, uint32_t count) {
  // MSG_NOSIGNAL: a controller that has dropped the connection must show
  // itself at the next receive, not end the program with SIGPIPE.
  ssize_t n = ::send(Fd(socket), bytes, count, MSG_NOSIGNAL);
  return n < 0 ? -1 : static_cast<int32_t>(n);
}

int32_t Receive(EthSocket socket, uint8_t* buffer, uint32_t capacity) {
  ssize_t n = ::recv(Fd(socket), buffer, capacity, 0);
  return n < 0 ? -1 : static_cast<int32_t>(n);
}

void Close(EthSocket socket) { ::close(Fd(socket)); }

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
