#include <winsock.h>

#include "support/system_socket.h"

namespace system_socket {

void FakeSocketError(int error) { WSASetLastError(error); }
int LastSocketError() { return WSAGetLastError(); }
const int kDatagramTooLong = WSAEMSGSIZE;

uint16_t BindLoopback(EthSocket socket) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof a;
  const SOCKET s = static_cast<SOCKET>(socket);
  if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 0;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) != 0) return 0;
  return ntohs(a.sin_port);
}

bool Listen(EthSocket socket) { return ::listen(static_cast<SOCKET>(socket), 1) == 0; }

EthSocket Accept(EthSocket listener) {
  SOCKET s = ::accept(static_cast<SOCKET>(listener), nullptr, nullptr);
  return s == INVALID_SOCKET ? kInvalidEthSocket : static_cast<EthSocket>(s);
}

}  // namespace system_socket
