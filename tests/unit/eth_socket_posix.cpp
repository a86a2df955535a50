// The BSD socket shim on the loopback interface only.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "link/ethernet/eth_socket.h"

namespace {

constexpr uint32_t kLoopback = 0x7F000001;

// A bound loopback UDP socket of the test's own, closed at scope end.
struct Peer {
  int fd = -1;
  uint16_t port = 0;
  explicit Peer(int type) {
    fd = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kLoopback);
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~Peer() { ::close(fd); }
};

TEST(EthSocketPosix, DatagramsLongerThanTheBufferFail) {
  const EthSocketApi& api = kSystemEthSocket;
  EXPECT_TRUE(api.startup());
  EthSocket s = api.openDatagram();
  ASSERT_NE(s, kInvalidEthSocket);
  Peer peer(SOCK_DGRAM);
  // Our socket gets its port from its first send, as in discovery.
  const uint8_t hello[4] = {'z', 'a', 'r', 'n'};
  ASSERT_EQ(api.sendTo(s, hello, 4, EthEndpoint{kLoopback, peer.port}), 4);
  sockaddr_in ours{};
  socklen_t len = sizeof ours;
  char got[8];
  ASSERT_EQ(::recvfrom(peer.fd, got, sizeof got, 0, reinterpret_cast<sockaddr*>(&ours), &len), 4);

  std::vector<uint8_t> big(300, 0x41), exact(256, 0x42), small(46, 0x43);
  for (const auto* d : {&big, &exact, &small})
    ::sendto(peer.fd, d->data(), d->size(), 0, reinterpret_cast<sockaddr*>(&ours), len);

  uint8_t buffer[256];
  EthEndpoint from{};
  int32_t fromLength = 0;
  ASSERT_EQ(api.waitReadable(s, 1, 0), 1);
  errno = 0;
  EXPECT_EQ(api.receiveFrom(s, buffer, sizeof buffer, &from, &fromLength), -1);
  EXPECT_EQ(errno, EMSGSIZE);
  EXPECT_EQ(api.receiveFrom(s, buffer, sizeof buffer, &from, &fromLength), 256);
  EXPECT_EQ(api.receiveFrom(s, buffer, sizeof buffer, &from, &fromLength), 46);
  EXPECT_EQ(buffer[0], 0x43);
  EXPECT_EQ(from.address, kLoopback);
  EXPECT_EQ(from.port, peer.port);
  EXPECT_EQ(fromLength, 16);
  EXPECT_EQ(api.waitReadable(s, 0, 1000), 0);
  EXPECT_TRUE(api.enableBroadcast(s));
  api.close(s);
}

TEST(EthSocketPosix, StreamToAPeerThatHasGone) {
  const EthSocketApi& api = kSystemEthSocket;
  Peer listener(SOCK_STREAM);
  ASSERT_EQ(::listen(listener.fd, 1), 0);
  EthSocket s = api.openStream();
  ASSERT_TRUE(api.connect(s, EthEndpoint{kLoopback, listener.port}));
  int accepted = ::accept(listener.fd, nullptr, nullptr);
  ASSERT_GE(accepted, 0);
  ::send(accepted, "\x23\x06", 2, 0);
  ::close(accepted);

  uint8_t buffer[256];
  ASSERT_EQ(api.waitReadable(s, 1, 0), 1);
  EXPECT_EQ(api.receive(s, buffer, sizeof buffer), 2);
  ASSERT_EQ(api.waitReadable(s, 1, 0), 1);
  EXPECT_EQ(api.receive(s, buffer, sizeof buffer), 0);
  // Sends into the closed connection must not raise SIGPIPE.
  const uint8_t frame[1] = {0xAA};
  for (int i = 0; i < 3; ++i) api.send(s, frame, 1);
  api.close(s);

  EthSocket refused = api.openStream();
  EXPECT_FALSE(api.connect(refused, EthEndpoint{kLoopback, listener.port == 1 ? uint16_t{2} : uint16_t{1}}));
  api.close(refused);
  EXPECT_EQ(api.waitReadable(kInvalidEthSocket, 0, 0), -1);
}

}  // namespace
