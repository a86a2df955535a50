// Discovery, the login exchange and the byte I/O of the Ethernet link,
// through a scripted fake socket table. No test here touches the network.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "base/status.h"
#include "base/syserror.h"
#include "link/ethernet/eth_link.h"
#include "link/ethernet/eth_state.h"
#include "support/system_socket.h"

using system_socket::FakeSocketError;

namespace {

using Bytes = std::vector<uint8_t>;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr EthSocket kUdp = 21;
constexpr EthSocket kTcp = 22;

// What the next wait and receive on a socket bring.
struct Arrival {
  enum Kind { Data, Quiet, PeerClosed, ReceiveError, WaitError } kind = Data;
  Bytes bytes;
  EthEndpoint from{};
  int error = 0;
};

struct Wait {
  EthSocket socket;
  uint32_t seconds, microseconds;
};

struct FakeNet {
  bool startupOk = true;
  bool datagramOk = true, streamOk = true;
  bool broadcastOk = true;
  int32_t sendToResult = 4;
  bool connectOk = true;
  std::deque<Arrival> datagrams, stream;
  // Records.
  int startups = 0, streamsOpened = 0, datagramsOpened = 0;
  std::vector<EthSocket> closed;
  Bytes request;
  EthEndpoint requestTo{};
  std::vector<EthEndpoint> connects;
  std::vector<Bytes> sends;  // one entry per send call
  std::vector<Wait> waits;
  std::vector<uint32_t> receiveCapacities;
};
FakeNet gNet;

std::deque<Arrival>& QueueOf(EthSocket s) { return s == kUdp ? gNet.datagrams : gNet.stream; }

int32_t FakeWait(EthSocket s, uint32_t seconds, uint32_t microseconds) {
  gNet.waits.push_back({s, seconds, microseconds});
  std::deque<Arrival>& q = QueueOf(s);
  if (s != kUdp && s != kTcp) {
    FakeSocketError(EBADF);
    return -1;
  }
  if (q.empty()) return 0;
  if (q.front().kind == Arrival::Quiet) {
    q.pop_front();
    return 0;
  }
  if (q.front().kind == Arrival::WaitError) {
    FakeSocketError(q.front().error);
    q.pop_front();
    return -1;
  }
  return 1;
}

// Takes the front arrival; the caller has waited for it.
int32_t Take(std::deque<Arrival>& q, uint8_t* buffer, uint32_t capacity, EthEndpoint* from) {
  gNet.receiveCapacities.push_back(capacity);
  if (q.empty()) return 0;
  Arrival a = q.front();
  q.pop_front();
  if (a.kind == Arrival::PeerClosed) return 0;
  if (a.kind == Arrival::ReceiveError) {
    FakeSocketError(a.error);
    return -1;
  }
  if (from) *from = a.from;
  size_t n = std::min<size_t>(a.bytes.size(), capacity);
  if (n != 0) std::memcpy(buffer, a.bytes.data(), n);
  return static_cast<int32_t>(n);
}

const EthSocketApi kFakeApi = {
    .startup = [] { return ++gNet.startups, gNet.startupOk; },
    .cleanup = [] {},
    .openDatagram = []() -> EthSocket {
      return ++gNet.datagramsOpened, gNet.datagramOk ? kUdp : kInvalidEthSocket;
    },
    .openStream = []() -> EthSocket {
      return ++gNet.streamsOpened, gNet.streamOk ? kTcp : kInvalidEthSocket;
    },
    .enableBroadcast =
        [](EthSocket s) {
          if (s == kUdp && gNet.broadcastOk) return true;
          FakeSocketError(EBADF);
          return false;
        },
    .sendTo =
        [](EthSocket, const uint8_t* bytes, uint32_t count, EthEndpoint to) {
          gNet.request.assign(bytes, bytes + count);
          gNet.requestTo = to;
          if (gNet.sendToResult < 0) FakeSocketError(ENETUNREACH);
          return gNet.sendToResult;
        },
    .waitReadable = FakeWait,
    .receiveFrom =
        [](EthSocket s, uint8_t* buffer, uint32_t capacity, EthEndpoint* from, int32_t* length) {
          *length = 16;
          return Take(QueueOf(s), buffer, capacity, from);
        },
    .connect =
        [](EthSocket, EthEndpoint to) {
          gNet.connects.push_back(to);
          if (!gNet.connectOk) FakeSocketError(ECONNREFUSED);
          return gNet.connectOk;
        },
    .send =
        [](EthSocket, const uint8_t* bytes, uint32_t count) {
          gNet.sends.emplace_back(bytes, bytes + count);
          return static_cast<int32_t>(count);
        },
    .receive = [](EthSocket s, uint8_t* buffer,
                  uint32_t capacity) { return Take(QueueOf(s), buffer, capacity, nullptr); },
    .close = [](EthSocket s) { gNet.closed.push_back(s); },
};

constexpr EthEndpoint kController{0xC0000201, 4711};  // 192.0.2.1:4711
constexpr EthEndpoint kOther{0xC0000202, 4711};

Bytes Reply(size_t length, uint32_t inUse = 0, const char* magic = "zarn") {
  Bytes r(length, 0x5A);
  std::memcpy(r.data(), magic, 4);
  if (length >= 54) std::memcpy(r.data() + 50, &inUse, 4);
  return r;
}

Arrival Datagram(Bytes bytes, EthEndpoint from = kController) {
  return {Arrival::Data, std::move(bytes), from, 0};
}
Arrival Signal(Arrival::Kind kind, int error = 0) { return {kind, {}, {}, error}; }
Arrival Block(Bytes bytes) { return {Arrival::Data, std::move(bytes), {}, 0}; }

Bytes Challenge(uint8_t method, const Bytes& challenge) {
  Bytes b(2 + challenge.size());
  b[0] = 0x24;
  b[1] = method;
  std::copy(challenge.begin(), challenge.end(), b.begin() + 2);
  return b;
}

Bytes FromHex(const char* hex) {
  Bytes out;
  for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
  return out;
}

// The system's text for a socket error number, as the status attaches it.
std::string ErrorText(int error) {
  char text[512];
  SystemErrorText(static_cast<uint32_t>(error), text, sizeof text);
  return text;
}

// All bytes sent on the stream socket, one call after another.
Bytes Wire() {
  Bytes all;
  for (const Bytes& s : gNet.sends) all.insert(all.end(), s.begin(), s.end());
  return all;
}

class EthLink : public ::testing::Test {
 protected:
  void SetUp() override {
    gNet = FakeNet{};
    ResetEthernetState();
    InstallEthSocketApi(&kFakeApi);
    SetLastStatus(0);
  }
  void TearDown() override {
    InstallEthSocketApi(nullptr);
    ResetEthernetState();
  }
  void StartUp() { ASSERT_EQ(EthStartup(), 1); }
  // Discovery finds kController; the stream then brings `blocks`.
  void OneController(std::vector<Arrival> blocks) {
    StartUp();
    gNet.datagrams.push_back(Datagram(Reply(54)));
    for (Arrival& a : blocks) gNet.stream.push_back(std::move(a));
  }
};

// ---- start-up ----

TEST_F(EthLink, StartupCreatesBothSocketsOrStopsAtTheFirstFailure) {
  EXPECT_EQ(EthStartup(), 1);
  EXPECT_EQ(EthernetState.udpSocket, kUdp);
  EXPECT_EQ(EthernetState.tcpSocket, kTcp);

  ResetEthernetState();
  gNet = FakeNet{};
  gNet.startupOk = false;
  EXPECT_EQ(EthStartup(), 0);
  EXPECT_EQ(LastStatusCode(), 0x2401);
  EXPECT_EQ(gNet.datagramsOpened, 0);

  ResetEthernetState();
  gNet = FakeNet{};
  gNet.datagramOk = false;
  FakeSocketError(EMFILE);
  EXPECT_EQ(EthStartup(), 0);
  EXPECT_EQ(LastStatusCode(), 0x2402);
  EXPECT_EQ(gNet.streamsOpened, 0);

  ResetEthernetState();
  gNet = FakeNet{};
  gNet.streamOk = false;
  FakeSocketError(EMFILE);
  EXPECT_EQ(EthStartup(), 0);
  EXPECT_EQ(LastStatusCode(), 0x2403);
  // The socket error's text reaches the status (bit 0x2000).
  EXPECT_STREQ(LastStatusText(), (std::string("Unable to create TCP Socket\n") + ErrorText(EMFILE)).c_str());
}

TEST_F(EthLink, OpenAfterFailedStartupFailsAtTheBroadcastOption) {
  gNet.datagramOk = false;
  EthStartup();
  EXPECT_EQ(EthOpen(), 0);
  EXPECT_EQ(LastStatusCode(), 0x2404);
  EXPECT_STREQ(LastStatusText(), (std::string("Unable to set socket options\n") + ErrorText(EBADF)).c_str());
}

// ---- discovery ----

TEST_F(EthLink, DiscoveryBroadcastsOnceAndWaitsHalfASecondEachTime) {
  StartUp();
  gNet.datagrams.push_back(Datagram(Reply(54)));
  EXPECT_EQ(EthDiscover(), 1);
  EXPECT_THAT(gNet.request, ElementsAre('z', 'a', 'r', 'n'));
  EXPECT_EQ(gNet.requestTo.address, 0xFFFFFFFFu);
  EXPECT_EQ(gNet.requestTo.port, 3005);
  ASSERT_EQ(gNet.waits.size(), 2u);  // the reply, then the quiet end
  for (const Wait& w : gNet.waits) {
    EXPECT_EQ(w.seconds, 0u);
    EXPECT_EQ(w.microseconds, 500000u);
  }
  EXPECT_EQ(gNet.receiveCapacities.at(0), 256u);
  EXPECT_EQ(EthernetState.deviceAddress.address, kController.address);
  EXPECT_EQ(EthernetState.deviceAddress.port, kController.port);
  EXPECT_EQ(EthernetState.deviceAddressLength, 16);
}

TEST_F(EthLink, DiscoveryOutcomes) {
  struct Case {
    const char* name;
    std::vector<Arrival> datagrams;
    int result;
    StatusCode status;
  };
  std::vector<Case> cases = {
      {"none", {}, 0, 0x40B},
      {"one free", {Datagram(Reply(54))}, 1, 0},
      {"one in use", {Datagram(Reply(54, 0x01000000))}, 0, 0x410},
      {"short form counts as free", {Datagram(Reply(46))}, 1, 0},
      {"two controllers", {Datagram(Reply(54)), Datagram(Reply(46), kOther)}, 0, 0x40E},
      {"one answering twice", {Datagram(Reply(54)), Datagram(Reply(54))}, 0, 0x40E},
      {"two, one in use", {Datagram(Reply(54)), Datagram(Reply(54, 1), kOther)}, 0, 0x40E},
      {"bad magic alone", {Datagram(Reply(54, 0, "zarm"))}, 0, 0x40B},
      {"bad length alone", {Datagram(Reply(50))}, 0, 0x40B},
      {"garbage keeps the collection going",
       {Datagram(Reply(54, 0, "ZARN")), Datagram(Reply(50)), Datagram(Reply(55)), Datagram(Reply(46))},
       1,
       0},
      {"a quiet wait ends the collection",
       {Datagram(Reply(54)), Signal(Arrival::Quiet), Datagram(Reply(54), kOther)},
       1,
       0},
      {"an empty datagram ends it", {Signal(Arrival::Data), Datagram(Reply(54))}, 0, 0x40B},
      // An over-long datagram fails the receive (the shim's rule).
      {"a failed receive ends it with what was counted",
       {Datagram(Reply(54)), Signal(Arrival::ReceiveError, EMSGSIZE), Datagram(Reply(54), kOther)},
       1,
       0},
      {"a failed receive before any reply",
       {Signal(Arrival::ReceiveError, EMSGSIZE), Datagram(Reply(54))},
       0,
       0x40B},
      {"a failed wait", {Datagram(Reply(54)), Signal(Arrival::WaitError, EINTR)}, 0, 0x40A},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    StartUp();
    for (Arrival& a : c.datagrams) gNet.datagrams.push_back(a);
    SetLastStatus(0);
    EXPECT_EQ(EthDiscover(), c.result);
    EXPECT_EQ(LastStatusCode(), c.status);
  }
  SetLastStatus(0x40E);
  EXPECT_STREQ(LastStatusText(), "Found more than one device, please disconnect the others");
}

TEST_F(EthLink, DiscoveryOfOneAddress) {
  StartUp();
  SetEthDiscoveryAddress("192.0.2.2");
  // The request goes to that address alone; another controller's reply
  // does not count, though it keeps the collection going.
  gNet.datagrams = {Datagram(Reply(54), kController), Datagram(Reply(46), kOther)};
  EXPECT_EQ(EthDiscover(), 1);
  EXPECT_EQ(gNet.requestTo.address, 0xC0000202u);
  EXPECT_EQ(gNet.requestTo.port, 3005);
  EXPECT_EQ(EthernetState.deviceAddress.address, kOther.address);
  EXPECT_EQ(gNet.waits.size(), 3u);

  gNet.datagrams = {Datagram(Reply(54), kController)};
  EXPECT_EQ(EthDiscover(), 0);
  EXPECT_EQ(LastStatusCode(), 0x40B);

  // An address that cannot be read asks no one: nothing is sent at all.
  SetEthDiscoveryAddress("192.0.2.x");
  gNet.request.clear();
  gNet.datagrams = {Datagram(Reply(54), kController)};
  EXPECT_EQ(EthDiscover(), 0);
  EXPECT_STREQ(LastStatusText(), "Found no Talo devices over Ethernet");
  EXPECT_TRUE(gNet.request.empty());
}

TEST_F(EthLink, EndlessDatagramsEndTheCollection) {
  StartUp();
  gNet.datagrams.push_back(Datagram(Reply(46)));
  for (uint32_t i = 0; i < kDiscoveryDatagramLimit + 5; ++i)
    gNet.datagrams.push_back(Datagram(Reply(54, 0, "junk")));
  EXPECT_EQ(EthDiscover(), 1);
  EXPECT_EQ(gNet.datagrams.size(), 6u);
}

TEST_F(EthLink, ShortReplyIsNotReadPastItsEnd) {
  // A long, in-use reply without the magic leaves a non-zero in-use word in
  // the buffer; the short reply that follows must still count as free.
  StartUp();
  gNet.datagrams.push_back(Datagram(Reply(54, 0xFFFFFFFF, "xarn")));
  gNet.datagrams.push_back(Datagram(Reply(46)));
  EXPECT_EQ(EthDiscover(), 1);
}

TEST_F(EthLink, DiscoverySendAndOptionFailures) {
  StartUp();
  gNet.broadcastOk = false;
  EXPECT_EQ(EthDiscover(), 0);
  EXPECT_EQ(LastStatusCode(), 0x2404);

  gNet.broadcastOk = true;
  gNet.sendToResult = 3;
  EXPECT_EQ(EthDiscover(), 0);
  EXPECT_EQ(LastStatusCode(), 0x2405);

  gNet.sendToResult = -1;
  EXPECT_EQ(EthDiscover(), 0);
  EXPECT_STREQ(LastStatusText(),
               (std::string("Failed to send UDP broadcast\n") + ErrorText(ENETUNREACH)).c_str());
}

// ---- connection and login ----

TEST_F(EthLink, OpenConnectsToTheReplysSourceAndTakesTheGreeting) {
  SetEthPassword("unused");
  OneController({Block({0x23, 0x06, 0x99})});
  EXPECT_EQ(EthOpen(), 1);
  ASSERT_EQ(gNet.connects.size(), 1u);
  EXPECT_EQ(gNet.connects[0].address, kController.address);
  EXPECT_EQ(gNet.connects[0].port, kController.port);
  EXPECT_TRUE(gNet.sends.empty());
  EXPECT_EQ(EthernetState.loginState, LoginState::LoggedIn);
}

TEST_F(EthLink, ConnectFailure) {
  OneController({});
  gNet.connectOk = false;
  EXPECT_EQ(EthOpen(), 0);
  EXPECT_STREQ(LastStatusText(),
               (std::string("Failed to connect to device\n") + ErrorText(ECONNREFUSED)).c_str());
}

TEST_F(EthLink, MethodOneSendsThePasswordAndAZeroWithEveryAaDoubled) {
  SetEthPassword("p\xAAw");
  OneController({Block(Challenge(1, Bytes(16, 0x11))), Block({0x06, 0x23, 0x06, 0x42, 0x42})});
  EXPECT_EQ(EthOpen(), 1);
  // The header in one call, then every payload byte in a call of its own.
  EXPECT_THAT(gNet.sends, ElementsAre(Bytes{0xAA, 0x24, 0x01}, Bytes{'p'}, Bytes{0xAA}, Bytes{0xAA},
                                      Bytes{'w'}, Bytes{0x00}));
  EXPECT_EQ(EthernetState.loginState, LoginState::LoggedIn);
}

TEST_F(EthLink, MethodTwoSendsTheCrcLeastSignificantByteFirst) {
  // CRC-32 of challenge + "s3cret" is 0xAAFE32A6 (computed apart from this
  // program): a6 32 fe aa on the wire, the aa doubled.
  SetEthPassword("s3cret");
  OneController(
      {Block(Challenge(2, FromHex("700102730405760708790a0b7c0d0e7f"))), Block({0x06, 0x23, 0x06})});
  EXPECT_EQ(EthOpen(), 1);
  EXPECT_THAT(Wire(), ElementsAre(0xAA, 0x24, 0x02, 0xA6, 0x32, 0xFE, 0xAA, 0xAA));
}

TEST_F(EthLink, MethodThreeSendsTheMd5OfChallengeAndPassword) {
  SetEthPassword("s3cret");
  OneController(
      {Block(Challenge(3, FromHex("0701020404050107080e0a0b0b0d0e08"))), Block({0x06, 0x23, 0x06})});
  EXPECT_EQ(EthOpen(), 1);
  Bytes expected{0xAA, 0x24, 0x03};
  Bytes digest = FromHex("59bd9c0069c74874fd117b17e1b34caa");
  for (uint8_t b : digest) {
    if (b == 0xAA) expected.push_back(0xAA);
    expected.push_back(b);
  }
  EXPECT_THAT(Wire(), ElementsAreArray(expected));
  EXPECT_EQ(gNet.sends.size(), 1u + 16u + 1u);
}

TEST_F(EthLink, OtherMethodsSendTheHeaderAloneAndTheVerdictDecides) {
  SetEthPassword("x");
  OneController({Block(Challenge(7, Bytes(16, 0))), Block({0x06, 0x23, 0x06})});
  EXPECT_EQ(EthOpen(), 1);
  EXPECT_THAT(gNet.sends, ElementsAre(Bytes{0xAA, 0x24, 0x07}));

  SetUp();
  SetEthPassword("x");
  OneController({Block(Challenge(0xAA, Bytes(16, 0))), Block({0x15})});
  EXPECT_EQ(EthOpen(), 0);
  EXPECT_THAT(gNet.sends, ElementsAre(Bytes{0xAA, 0x24, 0xAA}));  // the header is never escaped
  EXPECT_EQ(LastStatusCode(), 0x409);
}

TEST_F(EthLink, ChallengeWithoutPasswordSendsNothing) {
  OneController({Block(Challenge(3, Bytes(16, 1)))});
  EXPECT_EQ(EthOpen(), 0);
  EXPECT_STREQ(LastStatusText(), "No password specified");
  EXPECT_TRUE(gNet.sends.empty());
  EXPECT_EQ(EthernetState.loginState, LoginState::AwaitGreeting);
}

TEST_F(EthLink, RejectClosesTheConnection) {
  SetEthPassword("wrong");
  OneController({Block(Challenge(1, Bytes(16, 0))), Block({0x15, 0x06, 0x23, 0x06})});
  EXPECT_EQ(EthOpen(), 0);
  EXPECT_STREQ(LastStatusText(), "Entered wrong password");
  EXPECT_THAT(gNet.closed, ElementsAre(kTcp));
  EXPECT_EQ(EthernetState.loginState, LoginState::AwaitGreeting);
}

TEST_F(EthLink, OtherBlocksAreIgnoredUntilTheirMessageComes) {
  SetEthPassword("pw");
  OneController({Block({0x06, 0x23, 0x06}),                               // a verdict before any answer
                 Block({0x15}),                                           // likewise
                 Block(Challenge(1, Bytes(16, 0))), Block({0x23, 0x06}),  // a greeting after the answer
                 Block(Challenge(1, Bytes(16, 0))),  // a second challenge is not answered
                 Block({0x06, 0x23, 0x06})});
  EXPECT_EQ(EthOpen(), 1);
  EXPECT_EQ(gNet.sends.size(), 4u);  // one header, 'p', 'w', 0
}

TEST_F(EthLink, ShortBlocksNeverBorrowBytesFromEarlierOnes) {
  // The first block leaves 0x06 at buffer position 1; the one-byte 0x23 that
  // follows is no greeting.
  OneController({Block({0x00, 0x06, 0x00}), Block({0x23})});
  EXPECT_EQ(EthOpen(), 0);
  EXPECT_EQ(LastStatusCode(), 0x408);

  // A challenge cut short is not answered, however the buffer continues.
  SetUp();
  SetEthPassword("pw");
  Bytes longGarbage(40, 0x77);
  OneController({Block(longGarbage), Block({0x24, 0x03, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15})});
  EXPECT_EQ(EthOpen(), 0);
  EXPECT_EQ(LastStatusCode(), 0x408);
  EXPECT_TRUE(gNet.sends.empty());

  // After the answer: 06 then 23 06 in separate blocks is no verdict.
  SetUp();
  SetEthPassword("pw");
  OneController({Block(Challenge(1, Bytes(16, 0x06))), Block({0x06}), Block({0x06, 0x23})});
  EXPECT_EQ(EthOpen(), 0);
  EXPECT_EQ(LastStatusCode(), 0x408);
}

TEST_F(EthLink, ReceiveFailuresDuringTheLogin) {
  struct Case {
    Arrival arrival;
    const std::string text;
  };
  const Case cases[] = {
      {Signal(Arrival::Quiet), "Got no repsone from device (Timeout)"},
      {Signal(Arrival::PeerClosed), "Device is not connected"},
      {Signal(Arrival::ReceiveError, ECONNRESET),
       std::string("Failed to connect to device\n") + ErrorText(ECONNRESET)},
      {Signal(Arrival::WaitError, EINTR), std::string("Failed to connect to device\n") + ErrorText(EINTR)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    SetUp();
    SetEthPassword("pw");
    OneController({Block(Challenge(1, Bytes(16, 0))), c.arrival});
    EXPECT_EQ(EthOpen(), 0);
    EXPECT_EQ(LastStatusText(), c.text);
    EXPECT_EQ(EthernetState.loginState, LoginState::AwaitGreeting);
    EXPECT_TRUE(gNet.closed.empty());  // the connection stays
  }
}

TEST_F(EthLink, LoginWaitsUseTheReceiveTimeoutAndFullBuffer) {
  EthSetTimeouts(1500, 100);
  OneController({Block({0x23, 0x06})});
  EXPECT_EQ(EthOpen(), 1);
  const Wait& w = gNet.waits.back();
  EXPECT_EQ(w.socket, kTcp);
  EXPECT_EQ(w.seconds, 1u);
  EXPECT_EQ(w.microseconds, 500000u);
  EXPECT_EQ(gNet.receiveCapacities.back(), 256u);
}

TEST_F(EthLink, EndlessUselessBlocksEndTheLogin) {
  StartUp();
  gNet.datagrams.push_back(Datagram(Reply(54)));
  for (uint32_t i = 0; i < kLoginBlockLimit + 10; ++i) gNet.stream.push_back(Block({0x23}));
  EXPECT_EQ(EthOpen(), 0);
  EXPECT_EQ(LastStatusCode(), 0x408);
  EXPECT_EQ(gNet.stream.size(), 10u);
}

// ---- byte I/O after the login ----

TEST_F(EthLink, ReceiveByteOutcomes) {
  OneController({Block({0x23, 0x06}), Block({0x42}), Signal(Arrival::Quiet), Signal(Arrival::PeerClosed),
                 Signal(Arrival::ReceiveError, EPIPE), Block({0x43})});
  ASSERT_EQ(EthOpen(), 1);
  uint8_t byte = 0;
  EXPECT_EQ(EthReceiveByte(&byte), 1);
  EXPECT_EQ(byte, 0x42);
  EXPECT_EQ(gNet.receiveCapacities.back(), 1u);
  EXPECT_EQ(EthReceiveByte(&byte), 0);
  EXPECT_EQ(LastStatusCode(), 0x408);
  EXPECT_EQ(EthernetState.loginState, LoginState::AwaitGreeting);
  EXPECT_EQ(EthReceiveByte(&byte), 0);
  EXPECT_EQ(LastStatusCode(), 0x40D);
  EXPECT_EQ(EthReceiveByte(&byte), 0);
  EXPECT_EQ(LastStatusCode(), 0x240C);
  // The connection stays usable after a failed receive.
  EXPECT_EQ(EthReceiveByte(&byte), 1);
  EXPECT_EQ(byte, 0x43);
}

TEST_F(EthLink, SendHandsTheFrameOverInOneCall) {
  OneController({Block({0x23, 0x06})});
  ASSERT_EQ(EthOpen(), 1);
  const uint8_t frame[] = {0xAA, 0x7C, 0xAA, 0xAA, 0x01};
  EXPECT_EQ(EthSend(frame, sizeof frame), 1);
  EXPECT_THAT(gNet.sends, ElementsAre(Bytes(frame, frame + sizeof frame)));
}

TEST_F(EthLink, CloseShutsTheStreamOnly) {
  OneController({Block({0x23, 0x06})});
  ASSERT_EQ(EthOpen(), 1);
  EXPECT_EQ(EthClose(), 1);
  EXPECT_THAT(gNet.closed, ElementsAre(kTcp));
  EXPECT_EQ(EthernetState.loginState, LoginState::AwaitGreeting);
  EXPECT_EQ(EthClose(), 1);
  EXPECT_EQ(gNet.closed.size(), 1u);
  uint8_t byte;
  EXPECT_EQ(EthReceiveByte(&byte), 0);
  EXPECT_EQ(LastStatusCode(), 0x240C);
}

TEST_F(EthLink, TimeoutFloorIsAnUnsignedComparison) {
  const uint32_t given[] = {0, 100, 200, 201, 5000, 0x80000000u, 0xFFFFFFFFu};
  const uint32_t stored[] = {200, 200, 200, 201, 5000, 0x80000000u, 0xFFFFFFFFu};
  for (size_t i = 0; i < std::size(given); ++i) {
    EthSetTimeouts(given[i], 100);
    EXPECT_EQ(EthernetState.receiveTimeoutMs, stored[i]) << given[i];
  }
  EXPECT_EQ(EthSetTimeouts(150, 100), 200);
}

TEST_F(EthLink, ReadinessWaitSplitsMilliseconds) {
  const uint32_t ms[] = {0, 200, 999, 1000, 1500, 5000, 4294967295u};
  const Wait expected[] = {{kTcp, 0, 0},      {kTcp, 0, 200000}, {kTcp, 0, 999000},      {kTcp, 1, 0},
                           {kTcp, 1, 500000}, {kTcp, 5, 0},      {kTcp, 4294967, 295000}};
  uint8_t buffer[4];
  for (size_t i = 0; i < std::size(ms); ++i) {
    gNet.waits.clear();
    EXPECT_EQ(ReceiveWithin(kTcp, buffer, sizeof buffer, ms[i]), kReceiveTimedOut);
    ASSERT_EQ(gNet.waits.size(), 1u);
    EXPECT_EQ(gNet.waits[0].seconds, expected[i].seconds) << ms[i];
    EXPECT_EQ(gNet.waits[0].microseconds, expected[i].microseconds) << ms[i];
  }
  gNet.stream.push_back(Block({1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(ReceiveWithin(kTcp, buffer, sizeof buffer, 10), 4);
}

TEST_F(EthLink, PasswordLength) {
  EXPECT_EQ(SetEthPassword("0123456789abcdef"), 1);
  EXPECT_STREQ(EthernetState.password.data(), "0123456789abcdef");
  EXPECT_EQ(SetEthPassword("0123456789abcdefg"), 0);
  EXPECT_STREQ(EthernetState.password.data(), "0123456789abcdef");
  EXPECT_EQ(SetEthPassword("ab"), 1);
  EXPECT_STREQ(EthernetState.password.data(), "ab");
  EXPECT_EQ(SetEthPassword(""), 1);
  EXPECT_STREQ(EthernetState.password.data(), "");
}

}  // namespace
