// The Winsock shim on the loopback interface only.
#include <winsock.h>

#include <gtest/gtest.h>

#include <vector>

#include "link/ethernet/eth_socket.h"

namespace {

constexpr uint32_t kLoopback = 0x7F000001;

struct Peer {
  SOCKET s = INVALID_SOCKET;
  uint16_t port = 0;
  explicit Peer(int type) {
    s = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kLoopback);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    int len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~Peer() { ::closesocket(s); }
};

TEST(EthSocketWin32, DatagramsLongerThanTheBufferFail) {
  const EthSocketApi& api = kSystemEthSocket;
  ASSERT_TRUE(api.startup());
  {
    EthSocket s = api.openDatagram();
    ASSERT_NE(s, kInvalidEthSocket);
    Peer peer(SOCK_DGRAM);
    const uint8_t hello[4] = {'z', 'a', 'r', 'n'};
    ASSERT_EQ(api.sendTo(s, hello, 4, EthEndpoint{kLoopback, peer.port}), 4);
    sockaddr_in ours{};
    int len = sizeof ours;
    char got[8];
    ASSERT_EQ(::recvfrom(peer.s, got, sizeof got, 0, reinterpret_cast<sockaddr*>(&ours), &len), 4);

    std::vector<char> big(300, 0x41), small(46, 0x43);
    ::sendto(peer.s, big.data(), static_cast<int>(big.size()), 0, reinterpret_cast<sockaddr*>(&ours), len);
    ::sendto(peer.s, small.data(), static_cast<int>(small.size()), 0, reinterpret_cast<sockaddr*>(&ours),
             len);

    uint8_t buffer[256];
    EthEndpoint from{};
    int32_t fromLength = 0;
    ASSERT_EQ(api.waitReadable(s, 1, 0), 1);
    EXPECT_EQ(api.receiveFrom(s, buffer, sizeof buffer, &from, &fromLength), -1);
    EXPECT_EQ(WSAGetLastError(), WSAEMSGSIZE);
    ASSERT_EQ(api.waitReadable(s, 1, 0), 1);
    EXPECT_EQ(api.receiveFrom(s, buffer, sizeof buffer, &from, &fromLength), 46);
    EXPECT_EQ(from.port, peer.port);
    EXPECT_EQ(fromLength, 16);
    EXPECT_EQ(api.waitReadable(s, 0, 1000), 0);
    api.close(s);
  }
  api.cleanup();
}

}  // namespace
