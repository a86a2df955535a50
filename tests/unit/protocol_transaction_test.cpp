// The transaction over the real serial link and a scripted port: escaping,
// one write per frame, the reply modes and the result of every failure.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "base/status.h"
#include "link/link.h"
#include "protocol/transaction.h"
#include "support/fake_serial.h"

namespace {

using Bytes = std::vector<uint8_t>;

TransferResult Exchange(const Bytes& frame, int32_t& count, std::span<uint8_t> reply = {}) {
  return Transact(frame, count, reply);
}

TEST(TransactionEscaping, LaterFrameStartsAreDoubledInOneWrite) {
  FakeSerialSession session;
  struct Case {
    Bytes frame;
    Bytes wire;
  };
  const Case cases[] = {
      {{0xAA, 0x7C, 0x57, 0xAA, 0x01}, {0xAA, 0x7C, 0x57, 0xAA, 0xAA, 0x01}},
      {{0x1B, 0x7B, 0x21, 0x61}, {0x1B, 0x7B, 0x21, 0x61}},
      {{0xAA}, {0xAA}},
      {{0x1B, 0xAA, 0xAA}, {0x1B, 0xAA, 0xAA, 0xAA, 0xAA}},
  };
  for (const Case& c : cases) {
    FakeSerial.writes.clear();
    QueueReply({0x06});
    int32_t count = 0;
    EXPECT_EQ(Exchange(c.frame, count), TransferResult::Ok);
    ASSERT_EQ(FakeSerial.writes.size(), 1u);
    EXPECT_EQ(FakeSerial.writes[0].bytes, c.wire);
    EXPECT_EQ(Unescape(FakeSerial.writes[0].bytes), c.frame);
  }
}

TEST(TransactionReply, RefusalsEndTheTransactionWithoutReadingData) {
  FakeSerialSession session;
  const std::pair<uint8_t, TransferResult> cases[] = {
      {0x15, TransferResult::DataError},       {0x17, TransferResult::ChecksumError},
      {0x19, TransferResult::OverrunError},    {0x00, TransferResult::InvalidResponse},
      {0x07, TransferResult::InvalidResponse}, {0xAA, TransferResult::InvalidResponse},
  };
  for (auto [first, expected] : cases) {
    FakeSerial.incoming.clear();
    QueueReply({first, 0x01, 0x02});
    SetLastStatus(0x201);  // a refusal records nothing: this must survive
    std::array<uint8_t, 2> reply{};
    int32_t count = 2;
    EXPECT_EQ(Exchange({0xAA, 0x27}, count, reply), expected) << int(first);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(FakeSerial.incoming.size(), 2u) << "data after a refusal must stay unread";
    EXPECT_EQ(LastStatusCode(), 0x201);
  }
}

TEST(TransactionReply, UntilAckModeStopsAtTheAckOrTheLimit) {
  FakeSerialSession session;
  std::array<uint8_t, 20> reply{};

  QueueReply({0x06, 'T', 'X', 0x06, 'Z'});
  int32_t count = -20;
  EXPECT_EQ(Exchange({0xAA, 0x3F, 0x43}, count, reply), TransferResult::Ok);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(reply[0], 'T');
  EXPECT_EQ(reply[1], 'X');
  EXPECT_EQ(FakeSerial.incoming.size(), 1u) << "the ending ACK is consumed, nothing more";

  FakeSerial.incoming.clear();
  QueueReply({0x06});
  for (int i = 0; i < 20; ++i) QueueReply({static_cast<uint8_t>('a' + i)});
  QueueReply({'!'});
  count = -20;
  EXPECT_EQ(Exchange({0xAA, 0x3F, 0x43}, count, reply), TransferResult::Ok);
  EXPECT_EQ(count, 20);
  EXPECT_EQ(reply[19], 'a' + 19);
  EXPECT_EQ(FakeSerial.incoming.size(), 1u) << "20 letters end the reply; no 21st read";
  EXPECT_TRUE(FakeSerial.missTimeouts.empty());
}

TEST(TransactionReply, CountedModeReadsDataAndAnyClosingByte) {
  FakeSerialSession session;
  std::array<uint8_t, 2> reply{};
  for (uint8_t closing : {uint8_t{0x06}, uint8_t{0x15}, uint8_t{0x99}}) {
    FakeSerial.incoming.clear();
    QueueReply({0x06, 0x01, 0x00, closing});
    int32_t count = 2;
    EXPECT_EQ(Exchange({0xAA, 0x7C, 0x3F, 0x57}, count, reply), TransferResult::Ok);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(reply[0], 0x01);
    EXPECT_EQ(reply[1], 0x00);
    EXPECT_TRUE(FakeSerial.incoming.empty());
  }

  // Data complete, closing byte missing: a time-out on a serial link.
  QueueReply({0x06, 0x01, 0x00});
  int32_t count = 2;
  EXPECT_EQ(Exchange({0xAA, 0x7C, 0x3F, 0x57}, count, reply), TransferResult::TimeoutError);
  EXPECT_EQ(count, 2);

  // Data cut short: the bytes stored so far stay counted.
  QueueReply({0x06, 0x05});
  count = 2;
  EXPECT_EQ(Exchange({0xAA, 0x7C, 0x3F, 0x57}, count, reply), TransferResult::TimeoutError);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(LastStatusCode(), 0x112);
}

TEST(TransactionReply, ShortBufferNeverOverruns) {
  FakeSerialSession session;
  std::array<uint8_t, 4> storage{};
  QueueReply({0x06, 'a', 'b', 'c', 'd', 'e', 0x06});
  int32_t count = -50;
  EXPECT_EQ(Exchange({0xAA, 0x3F, 0x49}, count, std::span<uint8_t>(storage).first(2)), TransferResult::Ok);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(storage[2], 0);
}

TEST(TransactionFailures, SendAndReceiveFailuresAreClassified) {
  FakeSerialSession session;
  int32_t count = 5;

  EXPECT_EQ(Exchange({0xAA, 0x27}, count), TransferResult::TimeoutError) << "silence";
  EXPECT_EQ(count, 0) << "the count is cleared before anything is sent";

  FakeSerial.failReads = true;
  EXPECT_EQ(Exchange({0xAA, 0x27}, count), TransferResult::ReceiveError);
  EXPECT_EQ(LastStatusCode(), 0x4111);
  FakeSerial.failReads = false;

  FakeSerial.failWrites = true;
  QueueReply({0x06});
  EXPECT_EQ(Exchange({0xAA, 0x27}, count), TransferResult::SendError);
  EXPECT_EQ(FakeSerial.incoming.size(), 1u) << "nothing is received after a failed send";
}

TEST(TransactionFailures, TimeOutStatusesOfSerialAndUsbOnly) {
  EXPECT_EQ(ReceiveFailureResult(0x112), TransferResult::TimeoutError);
  EXPECT_EQ(ReceiveFailureResult(0x30B), TransferResult::TimeoutError);
  EXPECT_EQ(ReceiveFailureResult(0x408), TransferResult::ReceiveError) << "Ethernet time-out";
  EXPECT_EQ(ReceiveFailureResult(0x4111), TransferResult::ReceiveError);
  EXPECT_EQ(ReceiveFailureResult(0x10F), TransferResult::ReceiveError);
}

TEST(TransactionFailures, ClosedLinkStillGoesToTheLink) {
  FakeSerialSession session(false, /*open=*/false);
  int32_t count = 0;
  EXPECT_EQ(Exchange({0xAA, 0x27}, count), TransferResult::SendError);
  EXPECT_EQ(LastStatusCode(), 0x10B) << "the serial link's own refusal decides";
}

TEST(SendCommandTimeouts, RunsUnderItsTimeoutAndRestoresTheStandingPair) {
  FakeSerialSession session;
  for (bool answer : {true, false}) {
    FakeSerial.writes.clear();
    if (answer) QueueReply({0x06});
    TransferResult r = SendCommand(Bytes{0xAA, 0x7C, 0x4B}, 5000);
    EXPECT_EQ(r, answer ? TransferResult::Ok : TransferResult::TimeoutError);
    ASSERT_EQ(FakeSerial.writes.size(), 1u);
    EXPECT_EQ(FakeSerial.writes[0].receiveMs, 5000u);
    EXPECT_EQ(FakeSerial.writes[0].sendMs, 100u);
    EXPECT_EQ(FakeSerial.timeouts.readConstant, 500u);
    EXPECT_EQ(FakeSerial.timeouts.writeConstant, 100u);
  }
  FakeSerial.writes.clear();
  QueueReply({0x06});
  EXPECT_EQ(SendCommand(Bytes{0xAA, 0x23}), TransferResult::Ok);
  EXPECT_EQ(FakeSerial.writes[0].receiveMs, 500u) << "the default time-out";
}

TEST(TransferResultTexts, EveryValueHasItsText) {
  const char* texts[] = {"Ok",
                         "Data error",
                         "System send error",
                         "System receive error",
                         "Data overrun error",
                         "Timeout error",
                         "Checksum error",
                         "Invalid response"};
  for (uint32_t v = 0; v < 8; ++v) EXPECT_STREQ(TransferResultText(static_cast<TransferResult>(v)), texts[v]);
  EXPECT_STREQ(TransferResultText(static_cast<TransferResult>(8)), "Unknown error");
  EXPECT_STREQ(TransferResultText(static_cast<TransferResult>(0xFFFFFFFF)), "Unknown error");
}

}  // namespace
