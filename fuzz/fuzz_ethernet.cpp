// Ethernet: discovery datagrams and login blocks from arbitrary bytes, with
// and without a password, through the socket seam; then, after a login, an
// identification query over the connection.
//
// Input: flags (1 byte: bit 0 a password follows as length byte and
// characters, bit 1 query the identification after the open, bit 2 the
// socket layer fails to start, bit 3 the connect fails), then events:
//   tag (1 byte): low 3 bits 0 UDP datagram, 1 UDP quiet wait, 2 UDP failed
//   wait, 3 UDP empty datagram, 4 TCP block, 5 TCP quiet wait, 6 TCP peer
//   closed, 7 TCP failed receive (failed wait with bit 3 set); the high 4
//   bits pick the sender's port.
//   A datagram or block carries a 2-byte length and its bytes.
//
// Beyond crash-freedom: the discovery outcome is the one the datagrams call
// for (one free controller, none, several, busy, a failed wait) and the
// connection goes to the sender of the one reply; a failed open records an
// Ethernet status and is not logged in; without a password nothing is sent
// during the login; with one, at most one answer goes out, built from the
// challenge block received just before it; every wait is bounded and none
// of the fakes blocks.
#include <cstring>

#include "base/status.h"
#include "fuzz_support.h"
#include "link/ethernet/eth_link.h"
#include "link/ethernet/eth_state.h"
#include "link/link.h"
#include "protocol/commands.h"

namespace {

using fuzz::Bytes;
using fuzz::EventKind;
using fuzz::FakeSocket;

constexpr uint32_t kControllerAddress = 0xC0000207;  // 192.0.2.7

struct Discovery {
  StatusCode status = 0;
  EthEndpoint device{};
};

// What the datagrams call for, event by event as they were queued.
Discovery ExpectedDiscovery(const std::deque<fuzz::SocketEvent>& udp) {
  uint32_t answered = 0;
  bool inUse = false;
  Discovery d;
  size_t handled = 0;
  for (const fuzz::SocketEvent& e : udp) {
    if (handled++ == kDiscoveryDatagramLimit) break;
    if (e.kind == EventKind::Quiet) break;
    if (e.kind == EventKind::WaitFails) return {0x40A, {}};
    if (e.kind != EventKind::Data || e.bytes.empty() || e.bytes.size() > kEthReceiveBufferSize) break;
    size_t n = e.bytes.size();
    if ((n == 46 || n == 54) && std::memcmp(e.bytes.data(), "zarn", 4) == 0) {
      ++answered;
      d.device = e.from;
      inUse = n == 54 && (e.bytes[50] | e.bytes[51] | e.bytes[52] | e.bytes[53]) != 0;
    }
  }
  if (answered == 0) d.status = 0x40B;
  else if (answered > 1) d.status = 0x40E;
  else if (inUse) d.status = 0x410;
  return d;
}

bool IsEthernetOpenStatus(StatusCode s) {
  for (StatusCode known : {0x2404, 0x2405, 0x40A, 0x40B, 0x40E, 0x410, 0x240C, 0x408, 0x40D, 0x40F, 0x409})
    if (s == known) return true;
  return false;
}

// The login answer: AA 24 method, then the payload with every AA doubled.
void CheckAnswer(const Bytes& sent, const Bytes& challengeBlock, std::string_view password) {
  FUZZ_CHECK(sent.size() >= 3 && sent[0] == 0xAA && sent[1] == 0x24);
  FUZZ_CHECK(challengeBlock.size() >= 18 && challengeBlock[0] == 0x24);
  uint8_t method = sent[2];
  FUZZ_CHECK(method == challengeBlock[1]);
  Bytes payload;
  for (size_t i = 3; i < sent.size(); ++i) {
    if (sent[i] == 0xAA) {
      FUZZ_CHECK(i + 1 < sent.size() && sent[i + 1] == 0xAA);
      ++i;
    }
    payload.push_back(sent[i]);
  }
  Bytes input(challengeBlock.begin() + 2, challengeBlock.begin() + 18);
  input.insert(input.end(), password.begin(), password.end());
  switch (method) {
    case 1: {
      Bytes expected(password.begin(), password.end());
      expected.push_back(0);
      FUZZ_CHECK(payload == expected);
      break;
    }
    case 2: {
      uint32_t crc = fuzz::ReferenceCrc32(input);
      FUZZ_CHECK(payload == (Bytes{static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8),
                                   static_cast<uint8_t>(crc >> 16), static_cast<uint8_t>(crc >> 24)}));
      break;
    }
    case 3: FUZZ_CHECK(payload.size() == 16); break;
    default: FUZZ_CHECK(payload.empty()); break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in{{data, size}};
  uint8_t flags = in.Byte();
  std::string password;
  if (flags & 1) {
    Bytes text = in.Take(in.Byte() % 24);
    password.assign(text.begin(), text.end());
  }

  fuzz::ResetProcessState();
  fuzz::InstallFakeSockets();
  FakeSocket.startupFails = (flags & 4) != 0;
  FakeSocket.connectFails = (flags & 8) != 0;

  int accepted = SetEthPassword(password);
  FUZZ_CHECK(accepted == (password.size() <= kEthPasswordMax));
  // The field holds what was accepted, and stops at a zero byte like the
  // command line's text would.
  std::string stored = EthernetState.password.data();
  if (!accepted) stored.clear(), password.clear();
  password = password.substr(0, password.find('\0'));
  FUZZ_CHECK(stored == password);

  while (in.Left() > 0) {
    uint8_t tag = in.Byte();
    fuzz::SocketEvent e{};
    static constexpr EventKind kKinds[8] = {EventKind::Data,   EventKind::Quiet,       EventKind::WaitFails,
                                            EventKind::Closed, EventKind::Data,        EventKind::Quiet,
                                            EventKind::Closed, EventKind::ReceiveFails};
    e.kind = (tag & 0xF) == 0xF ? EventKind::WaitFails : kKinds[tag & 7];
    if (e.kind == EventKind::Data) e.bytes = in.Take(in.U16() % 320);
    e.from = {kControllerAddress, static_cast<uint16_t>(4000 + (tag >> 4))};
    (tag & 4 ? FakeSocket.tcp : FakeSocket.udp).push_back(std::move(e));
  }
  const Discovery expected = ExpectedDiscovery(FakeSocket.udp);

  int started = EthStartup();
  FUZZ_CHECK(started == !FakeSocket.startupFails);
  if (!started) FUZZ_CHECK(LastStatusCode() == 0x2401);
  SetLastStatus(0);
  int opened = LinkOpen("", 0, false, LinkKind::Ethernet);
  StatusCode status = LastStatusCode();

  if (!started) {
    FUZZ_CHECK(!opened && status == 0x2404 && FakeSocket.broadcasts == 0);
  } else if (expected.status != 0) {
    FUZZ_CHECK(!opened && status == expected.status && FakeSocket.connects == 0);
  } else {
    FUZZ_CHECK(FakeSocket.connects == 1);
    FUZZ_CHECK(EthernetState.deviceAddress.address == expected.device.address &&
               EthernetState.deviceAddress.port == expected.device.port);
    FUZZ_CHECK(FakeSocket.connectedTo.port == expected.device.port);
  }
  FUZZ_CHECK(FakeSocket.udpWaits <= kDiscoveryDatagramLimit);
  FUZZ_CHECK(FakeSocket.tcpWaits <= kLoginBlockLimit);
  for (uint32_t ms : FakeSocket.tcpWaitMs) FUZZ_CHECK(ms == 500);

  // What went out during the login: nothing, or one answer to the block
  // received just before it.
  const Bytes loginSent = FakeSocket.sentTcp;
  if (password.empty()) FUZZ_CHECK(loginSent.empty());
  if (!loginSent.empty()) {
    const Bytes* challenge = nullptr;
    for (const auto& [block, sentBefore] : FakeSocket.delivered)
      if (sentBefore == 0) challenge = &block;
    FUZZ_CHECK(challenge != nullptr);
    CheckAnswer(loginSent, *challenge, password);
  }

  if (!opened) {
    FUZZ_CHECK(IsEthernetOpenStatus(status));
    FUZZ_CHECK(EthernetState.loginState != LoginState::LoggedIn);
    FUZZ_CHECK(!LinkState.isOpen);
    return 0;
  }
  FUZZ_CHECK(EthernetState.loginState == LoginState::LoggedIn);
  FUZZ_CHECK(EthernetState.receiveTimeoutMs == 500);

  if (flags & 2) {
    // The same connection now carries a command; its bytes come one by one.
    size_t before = FakeSocket.sentTcp.size();
    FakeSocket.tcpWaitMs.clear();
    const char* text = QueryIdentification();
    if (text) FUZZ_CHECK(std::strlen(text) <= 128);
    FUZZ_CHECK(Bytes(FakeSocket.sentTcp.begin() + static_cast<ptrdiff_t>(before), FakeSocket.sentTcp.end()) ==
               (Bytes{0xAA, 0x3F, 0x49}));
    for (uint32_t ms : FakeSocket.tcpWaitMs) FUZZ_CHECK(ms == 500);
    FUZZ_CHECK(FakeSocket.tcpWaitMs.size() <= 130);
  }
  LinkClose();
  FUZZ_CHECK(EthernetState.loginState == LoginState::AwaitGreeting);
  return 0;
}
