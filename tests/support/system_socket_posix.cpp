#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "support/system_socket.h"

namespace system_socket {

void FakeSocketError(int error) { errno = error; }
int LastSocketError() { return errno; }
const int kDatagramTooLong = EMSGSIZE;

uint16_t BindLoopback(EthSocket socket) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  const int fd = static_cast<int>(socket);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 0;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0) return 0;
  return ntohs(a.sin_port);
}

bool Listen(EthSocket socket) { return ::listen(static_cast<int>(socket), 1) == 0; }

EthSocket Accept(EthSocket listener) {
  int fd = ::accept(static_cast<int>(listener), nullptr, nullptr);
  return fd < 0 ? kInvalidEthSocket : fd;
}

}  // namespace system_socket
