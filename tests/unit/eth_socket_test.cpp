// The system's socket shim (BSD sockets or Winsock) on the loopback
// interface only.
#include <gtest/gtest.h>

#include <vector>

#include "link/ethernet/eth_socket.h"
#include "support/system_socket.h"

namespace {

using namespace system_socket;

constexpr uint32_t kLoopback = 0x7F000001;
const EthSocketApi& api = kSystemEthSocket;

// The test's own loopback socket, closed at scope end.
struct Peer {
  EthSocket s;
  uint16_t port;
  explicit Peer(EthSocket socket) : s(socket), port(BindLoopback(socket)) {}
  ~Peer() { api.close(s); }
};

class EthSocketShim : public ::testing::Test {
 protected:
  // Every socket of a test is closed by its end, before the cleanup.
  void SetUp() override { ASSERT_TRUE(api.startup()); }
  void TearDown() override { api.cleanup(); }
};

TEST_F(EthSocketShim, DatagramsLongerThanTheBufferFail) {
  EthSocket s = api.openDatagram();
  ASSERT_NE(s, kInvalidEthSocket);
  Peer peer(api.openDatagram());
  ASSERT_NE(peer.port, 0);
  // Our socket gets its port from its first send, as in discovery.
  const uint8_t hello[4] = {'z', 'a', 'r', 'n'};
  ASSERT_EQ(api.sendTo(s, hello, 4, EthEndpoint{kLoopback, peer.port}), 4);
  uint8_t got[8];
  EthEndpoint ours{};
  int32_t oursLength = 0;
  ASSERT_EQ(api.waitReadable(peer.s, 1, 0), 1);
  ASSERT_EQ(api.receiveFrom(peer.s, got, sizeof got, &ours, &oursLength), 4);

  std::vector<uint8_t> big(300, 0x41), exact(256, 0x42), small(46, 0x43);
  for (const auto* d : {&big, &exact, &small}) {
    ASSERT_EQ(api.sendTo(peer.s, d->data(), static_cast<uint32_t>(d->size()), ours),
              static_cast<int32_t>(d->size()));
  }

  uint8_t buffer[256];
  EthEndpoint from{};
  int32_t fromLength = 0;
  ASSERT_EQ(api.waitReadable(s, 1, 0), 1);
  FakeSocketError(0);
  EXPECT_EQ(api.receiveFrom(s, buffer, sizeof buffer, &from, &fromLength), -1);
  EXPECT_EQ(LastSocketError(), kDatagramTooLong);
  ASSERT_EQ(api.waitReadable(s, 1, 0), 1);
  EXPECT_EQ(api.receiveFrom(s, buffer, sizeof buffer, &from, &fromLength), 256);
  ASSERT_EQ(api.waitReadable(s, 1, 0), 1);
  EXPECT_EQ(api.receiveFrom(s, buffer, sizeof buffer, &from, &fromLength), 46);
  EXPECT_EQ(buffer[0], 0x43);
  EXPECT_EQ(from.address, kLoopback);
  EXPECT_EQ(from.port, peer.port);
  EXPECT_EQ(fromLength, 16);
  EXPECT_EQ(api.waitReadable(s, 0, 1000), 0);
  EXPECT_TRUE(api.enableBroadcast(s));
  api.close(s);
}

TEST_F(EthSocketShim, StreamToAPeerThatHasGone) {
  Peer listener(api.openStream());
  ASSERT_NE(listener.port, 0);
  ASSERT_TRUE(Listen(listener.s));
  EthSocket s = api.openStream();
  ASSERT_TRUE(api.connect(s, EthEndpoint{kLoopback, listener.port}));
  {
    Peer accepted(Accept(listener.s));
    ASSERT_NE(accepted.s, kInvalidEthSocket);
    const uint8_t reply[2] = {0x23, 0x06};
    ASSERT_EQ(api.send(accepted.s, reply, 2), 2);
  }

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
