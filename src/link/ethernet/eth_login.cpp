// The TCP connection to the discovered controller, the login exchange and
// the byte I/O of the command protocol.
#include <algorithm>
#include <cstring>
#include <span>

#include "base/status.h"
#include "link/ethernet/eth_digest.h"
#include "link/ethernet/eth_link.h"
#include "link/ethernet/eth_state.h"

namespace {

// What a block must begin with, and how long it must at least be, to count
// as a message. A block is judged by its own bytes only: whatever an earlier
// receive left further along the buffer never takes part.
struct LoginMessage {
  std::array<uint8_t, 3> start;
  size_t startLength;
  size_t minimumBlock;
};

constexpr LoginMessage kReadyGreeting{{0x23, 0x06}, 2, 2};
// 0x24, the method, then the 16-byte challenge: only a whole one is taken.
constexpr LoginMessage kLoginChallenge{{0x24}, 1, 18};
constexpr LoginMessage kAcceptVerdict{{0x06, 0x23, 0x06}, 3, 3};
constexpr LoginMessage kRejectVerdict{{0x15}, 1, 1};

constexpr size_t kChallengeOffset = 2;
constexpr size_t kChallengeLength = 16;
constexpr uint8_t kFrameStart = 0xAA;

bool Begins(std::span<const uint8_t> block, const LoginMessage& message) {
  return block.size() >= message.minimumBlock && block.size() >= message.startLength &&
         std::memcmp(block.data(), message.start.data(), message.startLength) == 0;
}

// Status of a receive that brought no data, by ReceiveWithin's result.
struct ReceiveFailure {
  int32_t result;
  StatusCode status;
};

constexpr ReceiveFailure kReceiveFailures[] = {
    {kReceiveTimedOut, kStatusEthTimedOut},
    {0, kStatusEthNotConnected},
    {kReceiveFailed, kStatusEthConnectFailed},
};

int RecordReceiveFailure(int32_t result) {
  EthernetState.loginState = LoginState::AwaitGreeting;
  for (const ReceiveFailure& f : kReceiveFailures)
    if (f.result == result) return SetLastStatus(f.status);
  return SetLastStatus(kStatusEthConnectFailed);
}

std::span<const uint8_t> PasswordBytes() {
  const char* text = EthernetState.password.data();
  return {reinterpret_cast<const uint8_t*>(text), std::strlen(text)};
}

// Payload builders: the method's answer before escaping, into `out`
// (room for 32 bytes); return its length.
using PayloadBuilder = size_t (*)(std::span<const uint8_t> challenge, uint8_t* out);

size_t PlainPassword(std::span<const uint8_t>, uint8_t* out) {
  std::span<const uint8_t> password = PasswordBytes();
  std::memcpy(out, password.data(), password.size());
  out[password.size()] = 0;
  return password.size() + 1;
}

size_t CrcAnswer(std::span<const uint8_t> challenge, uint8_t* out) {
  uint32_t crc = Crc32Final(Crc32Update(Crc32Update(Crc32Init(), challenge), PasswordBytes()));
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(crc >> (8 * i));
  return 4;
}

size_t Md5Answer(std::span<const uint8_t> challenge, uint8_t* out) {
  Md5Context context;
  Md5Init(context);
  Md5Update(context, challenge);
  Md5Update(context, PasswordBytes());
  Md5Value digest = Md5Final(context);
  std::memcpy(out, digest.data(), digest.size());
  return digest.size();
}

struct LoginMethodEntry {
  uint8_t method;
  PayloadBuilder build;
};

// Any other method is answered with the header alone.
constexpr LoginMethodEntry kLoginMethods[] = {
    {1, PlainPassword},
    {2, CrcAnswer},
    {3, Md5Answer},
};

// One send per byte, a 0xAA preceded by a second one.
void SendEscaped(const uint8_t* bytes, size_t count) {
  EthSocket s = EthernetState.tcpSocket;
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] == kFrameStart) EthApi().send(s, &kFrameStart, 1);
    EthApi().send(s, &bytes[i], 1);
  }
}

void SendLoginAnswer(std::span<const uint8_t> challengeBlock) {
  uint8_t method = challengeBlock[1];
  const uint8_t header[3] = {kFrameStart, 0x24, method};
  EthApi().send(EthernetState.tcpSocket, header, sizeof header);
  std::span<const uint8_t> challenge = challengeBlock.subspan(kChallengeOffset, kChallengeLength);
  for (const LoginMethodEntry& entry : kLoginMethods) {
    if (entry.method != method) continue;
    uint8_t payload[kEthPasswordMax + 16] = {};
    size_t length = entry.build(challenge, payload);
    SendEscaped(payload, length);
  }
}

int RunLogin() {
  EthernetStateRecord& eth = EthernetState;
  eth.loginState = LoginState::AwaitGreeting;
  for (uint32_t blocks = 0; blocks < kLoginBlockLimit; ++blocks) {
    int32_t got = ReceiveWithin(eth.tcpSocket, eth.receiveBuffer.data(),
                                static_cast<uint32_t>(eth.receiveBuffer.size()), eth.receiveTimeoutMs);
    if (got <= 0) return RecordReceiveFailure(got);
    std::span<const uint8_t> block(eth.receiveBuffer.data(), static_cast<size_t>(got));

    if (eth.loginState == LoginState::AwaitGreeting) {
      if (Begins(block, kReadyGreeting)) {
        eth.loginState = LoginState::LoggedIn;
        return 1;
      }
      if (Begins(block, kLoginChallenge)) {
        if (eth.password[0] == '\0') return SetLastStatus(kStatusEthNoPassword);
        SendLoginAnswer(block);
        eth.loginState = LoginState::AnswerSent;
      }
    } else {
      if (Begins(block, kAcceptVerdict)) {
        eth.loginState = LoginState::LoggedIn;
        return 1;
      }
      if (Begins(block, kRejectVerdict)) {
        EthClose();
        return SetLastStatus(kStatusEthWrongPassword);
      }
    }
  }
  // Only blocks we could not use, as many as a controller would ever send.
  eth.loginState = LoginState::AwaitGreeting;
  return SetLastStatus(kStatusEthTimedOut);
}

}  // namespace

int32_t ReceiveWithin(EthSocket socket, uint8_t* buffer, uint32_t capacity, uint32_t milliseconds) {
  int32_t ready = EthApi().waitReadable(socket, milliseconds / 1000, (milliseconds % 1000) * 1000);
  if (ready == 0) return kReceiveTimedOut;
  if (ready < 0) return kReceiveFailed;
  int32_t got = EthApi().receive(socket, buffer, capacity);
  if (got < 0) return kReceiveFailed;
  return got;
}

int SetEthPassword(std::string_view text) {
  if (text.size() > kEthPasswordMax) return 0;
  EthernetState.password.fill('\0');
  std::copy(text.begin(), text.end(), EthernetState.password.begin());
  return 1;
}

int EthOpen() {
  if (!EthDiscover()) return 0;
  if (!EthApi().connect(EthernetState.tcpSocket, EthernetState.deviceAddress))
    return SetLastStatus(kStatusEthConnectFailed);
  return RunLogin();
}

int EthClose() {
  EthernetState.loginState = LoginState::AwaitGreeting;
  if (EthernetState.tcpSocket != kInvalidEthSocket) EthApi().close(EthernetState.tcpSocket);
  // Later receives fail as on any closed socket instead of reaching a
  // descriptor number the system may have handed out again.
  EthernetState.tcpSocket = kInvalidEthSocket;
  return 1;
}

int EthSend(const uint8_t* bytes, uint32_t count) {
  // A send that did not go out shows itself at the next receive.
  EthApi().send(EthernetState.tcpSocket, bytes, count);
  return 1;
}

int EthReceiveByte(uint8_t* byte) {
  int32_t got = ReceiveWithin(EthernetState.tcpSocket, byte, 1, EthernetState.receiveTimeoutMs);
  if (got == 1) return 1;
  return RecordReceiveFailure(got);
}

int EthSetTimeouts(uint32_t receiveMs, uint32_t /*sendMs: no effect on this link*/) {
  EthernetState.receiveTimeoutMs = receiveMs <= kEthReceiveFloorMs ? kEthReceiveFloorMs : receiveMs;
  return static_cast<int>(EthernetState.receiveTimeoutMs);
}
