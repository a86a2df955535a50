// Each controller command's frame, time-out and retries, as the scripted
// port sees them on the wire.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "link/link.h"
#include "protocol/commands.h"
#include "support/fake_serial.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Sent {
  Bytes wire;
  uint32_t receiveMs;
};

std::vector<Sent> SentFrames() {
  std::vector<Sent> out;
  for (const FakeWrite& w : FakeSerial.writes) out.push_back({w.bytes, w.receiveMs});
  return out;
}

// Every write is answered by the next scripted reply; a missing entry is silence.
void Script(std::initializer_list<Bytes> replies) {
  for (const Bytes& r : replies) ScriptReply(r);
}

const Bytes kAck = {0x06};
const Bytes kNak = {0x15};
const Bytes kSilence = {};

TEST(CommandFrames, EveryCommandSendsItsFrameUnderItsTimeout) {
  struct Case {
    const char* name;
    std::function<bool()> call;
    std::vector<Sent> expected;
  };
  const Case cases[] = {
      {"baud 460800",
       [] { return SetControllerBaudRate(460800); },
       {{{0xAA, 0x49, 0x42, 0x00, 0x00, 0x07, 0x08, 0x00}, 500}}},
      {"baud 115200",
       [] { return SetControllerBaudRate(115200); },
       {{{0xAA, 0x49, 0x42, 0x00, 0x00, 0x01, 0xC2, 0x00}, 500}}},
      {"reboot", [] { return Reboot(); }, {{{0xAA, 0x23}, 500}}},
      {"select page 8", [] { return SelectPage8(0x1FF); }, {{{0xAA, 0x7C, 0x50, 0xFF}, 500}}},
      {"select page 16", [] { return SelectPage16(0x10101); }, {{{0xAA, 0x7C, 0x70, 0x01, 0x01}, 500}}},
      {"select sub-page", [] { return SelectSubPage(1); }, {{{0xAA, 0x7C, 0x73, 0x00, 0x01}, 500}}},
      {"erase NAND index", [] { return EraseNandIndex(); }, {{{0xAA, 0x7C, 0x4B}, 5000}}},
      {"erase page 8",
       [] { return ErasePage8(0x80, 0xF000); },
       {{{0xAA, 0x7C, 0x50, 0x80}, 500}, {{0xAA, 0x7C, 0x45, 0xF0, 0x00}, 5000}}},
      {"erase page 16",
       [] { return ErasePage16(0x101); },
       {{{0xAA, 0x7C, 0x70, 0x01, 0x01}, 500}, {{0xAA, 0x7C, 0x45, 0x00, 0x00}, 5000}}},
      {"erase page 16 with AA",
       [] { return ErasePage16(0xAA); },
       {{{0xAA, 0x7C, 0x70, 0x00, 0xAA, 0xAA}, 500}, {{0xAA, 0x7C, 0x45, 0x00, 0x00}, 5000}}},
      {"write 01 02 @8000",
       [] {
         const uint8_t data[] = {0x01, 0x02};
         return WriteBlock(data, 2, 0x8000);
       },
       {{{0xAA, 0x7C, 0x57, 0x80, 0x00, 0x00, 0x02, 0x01, 0x02, 0x7A}, 500}}},
      {"write AA @0",
       [] {
         const uint8_t data[] = {0xAA};
         return WriteBlock(data, 1, 0);
       },
       {{{0xAA, 0x7C, 0x57, 0x00, 0x00, 0x00, 0x01, 0xAA, 0xAA, 0x54}, 500}}},
      {"flush", [] { return Flush(); }, {{{0xAA, 0x7C, 0x4C}, 1000}}},
      {"verify", [] { return Verify(); }, {{{0xAA, 0x7C, 0x56}, 10000}}},
  };
  for (const Case& c : cases) {
    FakeSerialSession session;
    FakeSerial.responder = [](std::span<const uint8_t>) { return kAck; };
    EXPECT_TRUE(c.call()) << c.name;
    std::vector<Sent> sent = SentFrames();
    ASSERT_EQ(sent.size(), c.expected.size()) << c.name;
    for (size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(sent[i].wire, c.expected[i].wire) << c.name << " frame " << i;
      EXPECT_EQ(sent[i].receiveMs, c.expected[i].receiveMs) << c.name << " frame " << i;
    }
    EXPECT_EQ(FakeSerial.timeouts.readConstant, 500u) << c.name;
  }
}

TEST(CommandFrames, WriteBlockCheckByteCoversOffsetLengthAndData) {
  FakeSerialSession session;
  FakeSerial.responder = [](std::span<const uint8_t>) { return kAck; };
  std::vector<uint8_t> data(2048);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 0xA3);
  ASSERT_TRUE(WriteBlock(data.data(), 2048, 0x1234));
  ASSERT_EQ(FakeSerial.writes.size(), 1u);
  Bytes frame = Unescape(FakeSerial.writes[0].bytes);
  ASSERT_EQ(frame.size(), 2048u + 8);
  EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 7), (Bytes{0xAA, 0x7C, 0x57, 0x12, 0x34, 0x08, 0x00}));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), frame.begin() + 7));
  uint8_t sum = 0;
  for (size_t i = 3; i < frame.size(); ++i) sum = static_cast<uint8_t>(sum + frame[i]);
  EXPECT_EQ(sum, 0xFF);
}

TEST(CommandFrames, WriteBlockRefusesALengthItsFieldCannotCarry) {
  FakeSerialSession session;
  std::vector<uint8_t> data(0x10000);
  EXPECT_FALSE(WriteBlock(data.data(), 0x10000, 0));
  EXPECT_TRUE(FakeSerial.writes.empty());
}

TEST(CommandRetries, SelectPage16IsTriedThreeTimesOthersOnce) {
  {
    FakeSerialSession session;
    Script({kNak, kSilence, kAck, kAck});
    EXPECT_TRUE(ErasePage16(0x101));
    ASSERT_EQ(FakeSerial.writes.size(), 4u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(FakeSerial.writes[i].bytes, (Bytes{0xAA, 0x7C, 0x70, 0x01, 0x01}));
    EXPECT_EQ(FakeSerial.writes[3].bytes, (Bytes{0xAA, 0x7C, 0x45, 0x00, 0x00}));
  }
  {
    FakeSerialSession session;
    Script({kNak, kNak, kNak, kAck});
    EXPECT_FALSE(ErasePage16(0x101));
    EXPECT_EQ(FakeSerial.writes.size(), 3u) << "no erase after three refused selects";
  }
  {
    FakeSerialSession session;
    Script({kNak, kAck});
    EXPECT_FALSE(ErasePage8(0x80, 0xF000));
    EXPECT_EQ(FakeSerial.writes.size(), 1u) << "one select attempt, no erase";
  }
  {
    FakeSerialSession session;
    Script({kAck, kNak, kAck});
    EXPECT_FALSE(ErasePage16(2));
    EXPECT_EQ(FakeSerial.writes.size(), 2u) << "the erase itself is not retried";
  }
  const std::pair<const char*, std::function<bool()>> once[] = {
      {"sub-page", [] { return SelectSubPage(0); }},
      {"NAND", [] { return EraseNandIndex(); }},
      {"flush", [] { return Flush(); }},
      {"verify", [] { return Verify(); }},
      {"reboot", [] { return Reboot(); }},
      {"baud", [] { return SetControllerBaudRate(9600); }},
      {"page 8", [] { return SelectPage8(3); }},
  };
  for (const auto& [name, call] : once) {
    FakeSerialSession session;
    Script({kNak, kAck});
    EXPECT_FALSE(call()) << name;
    EXPECT_EQ(FakeSerial.writes.size(), 1u) << name;
  }
}

const Bytes kProbe = {0x1B, 0x7B, 0x21, 0x61};
const Bytes kStartLoader = {0x1B, 0x7B, 0x21, 0x65, 0x4E, 0x64};
const Bytes kPing = {0xAA, 0x27};

std::vector<Bytes> Wires() {
  std::vector<Bytes> out;
  for (const FakeWrite& w : FakeSerial.writes) out.push_back(w.bytes);
  return out;
}

TEST(Handshake, ApplicationAnswersTheProbe) {
  FakeSerialSession session;
  Script({kAck, kAck});
  EXPECT_TRUE(Handshake());
  EXPECT_EQ(Wires(), (std::vector<Bytes>{kProbe, kStartLoader}));
  EXPECT_EQ(FakeSerial.writes[0].receiveMs, 100u);
  EXPECT_EQ(FakeSerial.writes[1].receiveMs, 500u);
  EXPECT_TRUE(FakeSerial.pauses.empty());
}

TEST(Handshake, SecondProbeAndARefusedStartLoader) {
  {
    FakeSerialSession session;
    Script({kSilence, kAck, kAck});
    EXPECT_TRUE(Handshake());
    EXPECT_EQ(Wires(), (std::vector<Bytes>{kProbe, kProbe, kStartLoader}));
    EXPECT_EQ(FakeSerial.missTimeouts, (std::vector<uint32_t>{100}));
  }
  {
    FakeSerialSession session;
    Script({kAck, kNak, kAck});
    EXPECT_FALSE(Handshake()) << "a refused start is final; no ping follows";
    EXPECT_EQ(Wires(), (std::vector<Bytes>{kProbe, kStartLoader}));
  }
}

TEST(Handshake, LoaderAnswersAPing) {
  FakeSerialSession session;
  // The loader ignores the application's ESC frames.
  Script({kSilence, kSilence, kSilence, kNak, kAck});
  EXPECT_TRUE(Handshake());
  EXPECT_EQ(Wires(), (std::vector<Bytes>{kProbe, kProbe, kPing, kPing, kPing}));
  for (size_t i = 2; i < 5; ++i) EXPECT_EQ(FakeSerial.writes[i].receiveMs, 150u);
  EXPECT_EQ(FakeSerial.pauses, (std::vector<uint32_t>{100, 100}));
}

TEST(Handshake, SilentControllerGetsFourPingsEachFollowedByAPause) {
  FakeSerialSession session;
  EXPECT_FALSE(Handshake());
  EXPECT_EQ(Wires(), (std::vector<Bytes>{kProbe, kProbe, kPing, kPing, kPing, kPing}));
  EXPECT_EQ(FakeSerial.pauses, (std::vector<uint32_t>{100, 100, 100, 100}));
  EXPECT_EQ(FakeSerial.missTimeouts, (std::vector<uint32_t>{100, 100, 150, 150, 150, 150}));
  EXPECT_EQ(FakeSerial.virtualMs, 100u * 2 + 150u * 4 + 100u * 4);
  EXPECT_EQ(FakeSerial.timeouts.readConstant, 500u);
}

TEST(Queries, IdentificationTextUnderAnExplicitStandingTimeout) {
  FakeSerialSession session;
  LinkSetTimeouts(900, 100);
  std::string text(128, 'i');
  Bytes reply = {0x06};
  reply.insert(reply.end(), text.begin(), text.end());
  ScriptReply(reply);
  const char* id = QueryIdentification();
  ASSERT_NE(id, nullptr);
  EXPECT_EQ(std::string(id), text);
  EXPECT_EQ(FakeSerial.writes[0].bytes, (Bytes{0xAA, 0x3F, 0x49}));
  EXPECT_EQ(FakeSerial.writes[0].receiveMs, 500u);

  ScriptReply({0x06, 'T', 'a', 'l', 'o', 0x06});
  id = QueryIdentification();
  ASSERT_NE(id, nullptr);
  EXPECT_STREQ(id, "Talo") << "terminated right after the received bytes";

  ScriptReply(kNak);
  EXPECT_EQ(QueryIdentification(), nullptr);
}

TEST(Queries, ControllerName) {
  FakeSerialSession session;
  ScriptReply({0x06, 'T', 'X', 'C', '7', '3', '9', '0', 0x06});
  const char* name = QueryControllerName();
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name, "TXC7390");
  EXPECT_EQ(FakeSerial.writes[0].bytes, (Bytes{0xAA, 0x3F, 0x43}));
  EXPECT_EQ(FakeSerial.writes[0].receiveMs, 500u);

  Bytes longName = {0x06};
  for (int i = 0; i < 25; ++i) longName.push_back('N');
  ScriptReply(longName);
  name = QueryControllerName();
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(std::strlen(name), 20u);

  FakeSerial.incoming.clear();
  EXPECT_EQ(QueryControllerName(), nullptr) << "silence";
}

TEST(Queries, MaxBlockSizeAndItsFallbackByChipCode) {
  FakeSerialSession session;
  ScriptReply({0x06, 0x08, 0x00, 0x06});
  EXPECT_EQ(QueryMaxBlockSize(8), 2048);
  EXPECT_EQ(FakeSerial.writes[0].bytes, (Bytes{0xAA, 0x7C, 0x3F, 0x57}));

  struct Case {
    uint32_t chip;
    Bytes reply;
    uint16_t expected;
  };
  const Case cases[] = {
      {8, kSilence, 256}, {1, kNak, 256},      {35, kSilence, 256},     {38, kSilence, 512},
      {39, kNak, 512},    {55, kSilence, 512}, {10, {0x06, 0x01}, 256},
  };
  for (const Case& c : cases) {
    FakeSerial.incoming.clear();
    ScriptReply(c.reply);
    EXPECT_EQ(QueryMaxBlockSize(c.chip), c.expected) << "chip " << c.chip;
  }
}

}  // namespace
