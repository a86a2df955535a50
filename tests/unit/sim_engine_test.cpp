// The simulated controller, driven as a host would: escaped frames in,
// reply bytes out.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/line.h"

namespace {

using Bytes = std::vector<uint8_t>;
using sim::FaultKind;
using sim::SimConfig;

// The host's escaping: the first byte as it stands, every later AA twice.
Bytes Escape(const Bytes& frame) {
  Bytes wire;
  for (size_t i = 0; i < frame.size(); ++i) {
    wire.push_back(frame[i]);
    if (i != 0 && frame[i] == 0xAA) wire.push_back(0xAA);
  }
  return wire;
}

Bytes WriteFrame(uint16_t offset, const Bytes& data) {
  Bytes f = {0xAA,
             0x7C,
             0x57,
             uint8_t(offset >> 8),
             uint8_t(offset),
             uint8_t(data.size() >> 8),
             uint8_t(data.size())};
  f.resize(7 + data.size());
  std::copy(data.begin(), data.end(), f.begin() + 7);
  uint8_t sum = 0;
  for (size_t i = 3; i < f.size(); ++i) sum = uint8_t(sum + f[i]);
  f.push_back(uint8_t(~sum));
  return f;
}

Bytes Page8(uint8_t page) { return {0xAA, 0x7C, 0x50, page}; }
Bytes Page16(uint16_t page) { return {0xAA, 0x7C, 0x70, uint8_t(page >> 8), uint8_t(page)}; }
Bytes SubPage(uint16_t sub) { return {0xAA, 0x7C, 0x73, uint8_t(sub >> 8), uint8_t(sub)}; }
Bytes Erase(uint16_t parameter) { return {0xAA, 0x7C, 0x45, uint8_t(parameter >> 8), uint8_t(parameter)}; }
const Bytes kProbe = {0x1B, 0x7B, 0x21, 0x61};
const Bytes kStartLoader = {0x1B, 0x7B, 0x21, 0x65, 0x4E, 0x64};
const Bytes kPing = {0xAA, 0x27};
const Bytes kIdent = {0xAA, 0x3F, 0x49};
const Bytes kName = {0xAA, 0x3F, 0x43};
const Bytes kBlockSize = {0xAA, 0x7C, 0x3F, 0x57};
const Bytes kReboot = {0xAA, 0x23};
const Bytes kNandIndex = {0xAA, 0x7C, 0x4B};
const Bytes kFlush = {0xAA, 0x7C, 0x4C};
const Bytes kVerify = {0xAA, 0x7C, 0x56};
const Bytes kAck = {0x06};
const Bytes kNak = {0x15};

Bytes Baud(uint32_t rate) {
  return {0xAA,         0x49, 0x42, 0x00, uint8_t(rate >> 24), uint8_t(rate >> 16), uint8_t(rate >> 8),
          uint8_t(rate)};
}

Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

struct Controller {
  sim::SimEngine engine;
  std::vector<sim::SimRecord> records;
  uint32_t events = 0;

  explicit Controller(SimConfig config) {
    config.log = [this](const sim::SimRecord& r) { records.push_back(r); };
    EXPECT_TRUE(sim::SimInit(engine, config)) << sim::SimConfigError(engine);
  }
  Bytes Raw(const Bytes& wire) {
    Bytes reply;
    events = sim::SimFeed(engine, wire.data(), wire.size(), reply);
    return reply;
  }
  Bytes Send(const Bytes& frame) { return Raw(Escape(frame)); }
  uint32_t Faults() const { return sim::SimHostFaults(engine); }
  uint8_t At(uint32_t address) const { return sim::SimFlashByte(engine, address); }
};

SimConfig Loader(std::string model) {
  SimConfig config;
  config.model = std::move(model);
  config.startMode = sim::StartMode::Loader;
  return config;
}

TEST(SimEngineFrames, EscapedBytesAreUnescapedInEveryField) {
  Controller c(Loader("TXC7390"));
  ASSERT_EQ(c.Send(kNandIndex), kAck);
  ASSERT_EQ(c.Send(Page16(256)), kAck);
  ASSERT_EQ(c.Send(Erase(0)), kAck);
  // The host's own example: one data byte AA gives the check byte 54.
  Bytes frame = WriteFrame(0, {0xAA});
  EXPECT_EQ(frame, (Bytes{0xAA, 0x7C, 0x57, 0, 0, 0, 1, 0xAA, 0x54}));
  EXPECT_EQ(c.Raw({0xAA, 0x7C, 0x57, 0, 0, 0, 1, 0xAA, 0xAA, 0x54}), kAck);
  // An offset of AA AA and an AA among the data, fed one byte at a time.
  Bytes tricky = WriteFrame(0xAAAA, {0x01, 0xAA, 0x03});
  Bytes wire = Escape(tricky);
  EXPECT_EQ(wire.size(), tricky.size() + 3);
  Bytes reply;
  for (uint8_t b : wire) {
    Bytes r = c.Raw({b});
    reply.insert(reply.end(), r.begin(), r.end());
  }
  EXPECT_EQ(reply, kAck);
  EXPECT_EQ(c.At(0x90000000), 0xAA);
  EXPECT_EQ(c.At(0x9000AAAA + 1), 0xAA);
  EXPECT_EQ(c.At(0x9000AAAA + 2), 0x03);
  EXPECT_EQ(c.Faults(), 0u);
}

TEST(SimEngineFrames, ByteByByteFeedAnswersLikeWholeFrames) {
  Controller c(Loader("TXC6260"));
  Bytes replies;
  for (uint8_t b : Escape(kIdent)) {
    Bytes r = c.Raw({b});
    replies.insert(replies.end(), r.begin(), r.end());
  }
  Bytes expected = kAck;
  Bytes text = Text("Talo Simulated Controller V1.00");
  expected.insert(expected.end(), text.begin(), text.end());
  expected.push_back(0x06);
  EXPECT_EQ(replies, expected);
}

TEST(SimEngineFrames, LoneAaCutsAFrameShortAndStartsTheNext) {
  Controller c(Loader("TXC5110"));
  EXPECT_TRUE(c.Raw({0xAA, 0x7C, 0x57, 0x80}).empty());
  EXPECT_EQ(c.Raw(kPing), kAck);
  EXPECT_EQ(c.Faults(), 1u);
  bool truncated = false;
  for (const auto& r : c.records) truncated = truncated || r.kind == sim::SimRecordKind::Truncated;
  EXPECT_TRUE(truncated);
}

TEST(SimEngineFrames, QuietLineDropsAnIncompleteFrame) {
  Controller c(Loader("TXC5110"));
  // 1B would be data inside the write; after a quiet line it starts over.
  EXPECT_TRUE(c.Raw({0xAA, 0x7C, 0x57, 0x80, 0x00, 0x00, 0x10}).empty());
  sim::SimLineIdle(c.engine, 20);
  EXPECT_EQ(c.Faults(), 0u);
  sim::SimLineIdle(c.engine, 150);
  EXPECT_EQ(c.Faults(), 1u);
  EXPECT_EQ(c.Send(kPing), kAck);
}

TEST(SimEngineFrames, GarbageAndUnknownCommandsAreNoticedAndSurvived) {
  Controller c(Loader("TXC5110"));
  EXPECT_TRUE(c.Raw({0x00, 0x41, 0xFE}).empty());
  EXPECT_EQ(c.Faults(), 1u);
  // Unknown loader command: '?' once, its rest discarded (AA AA too).
  EXPECT_EQ(c.Raw({0xAA, 0x7C, 0x99, 0x01, 0xAA, 0xAA, 0x02}), Bytes{sim::kSimReplyUnknown});
  EXPECT_EQ(c.Raw(kPing), kAck);
  EXPECT_EQ(c.Raw({0xAA, 0x49, 0x42, 0x01, 0, 0, 0, 0}), Bytes{sim::kSimReplyUnknown});
  // Unknown ESC sequence: ignored, as is a start-loader with a wrong tail.
  EXPECT_TRUE(c.Raw({0x1B, 0x5B, 0x41}).empty());
  EXPECT_TRUE(c.Raw({0x1B, 0x7B, 0x21, 0x65, 0x4E, 0x00}).empty());
  EXPECT_EQ(c.Raw(kPing), kAck);
  EXPECT_EQ(c.Faults(), 5u);
}

TEST(SimEngineFrames, RandomBytesNeverBreakTheEngine) {
  for (const char* model : {"TXC7390", "TXC5110", "TXM9410", "TXC6260"}) {
    Controller c(Loader(model));
    std::mt19937 random(1234);
    for (int round = 0; round < 2000; ++round) {
      Bytes noise(random() % 64);
      for (auto& b : noise) b = uint8_t(random() % 4 == 0 ? 0xAA : random());
      c.Raw(noise);
    }
    sim::SimLineIdle(c.engine, 1000);
    // The noise may have rebooted it: back into the loader, whichever mode.
    c.Send(kProbe);
    c.Send(kStartLoader);
    EXPECT_EQ(c.Send(kPing), kAck) << model;
  }
}

TEST(SimEngineCommands, ApplicationHandshakeAndTheLoaderQueries) {
  SimConfig config;
  config.model = "TXC7380";
  config.identification = "Loader 2.1";
  config.blockSizeAnswer = 512;
  Controller c(config);
  EXPECT_TRUE(c.Send(kPing).empty());  // the application knows no loader frames
  EXPECT_EQ(c.Send(kProbe), kAck);
  EXPECT_EQ(c.Send(kStartLoader), kAck);
  EXPECT_EQ(sim::SimCurrentMode(c.engine), sim::SimMode::Loader);
  EXPECT_TRUE(c.Send(kProbe).empty());  // the loader knows no ESC frames
  EXPECT_EQ(c.Send(kPing), kAck);
  Bytes ident = {0x06};
  for (char ch : std::string("Loader 2.1")) ident.push_back(uint8_t(ch));
  ident.push_back(0x06);
  EXPECT_EQ(c.Send(kIdent), ident);
  EXPECT_EQ(c.Send(kName), (Bytes{0x06, 'T', 'X', 'C', '7', '3', '8', '0', 0x06}));
  EXPECT_EQ(c.Send(kBlockSize), (Bytes{0x06, 0x02, 0x00, 0x06}));
  EXPECT_EQ(c.Send(kReboot), kAck);
  EXPECT_TRUE(c.events & sim::kSimEventReboot);
  EXPECT_EQ(sim::SimCurrentMode(c.engine), sim::SimMode::Application);
  EXPECT_EQ(c.Faults(), 0u);
}

TEST(SimEngineCommands, StartModesAndConfiguredAnswers) {
  SimConfig silent;
  silent.startMode = sim::StartMode::Silent;
  Controller quiet(silent);
  EXPECT_TRUE(quiet.Send(kProbe).empty());
  EXPECT_TRUE(quiet.Send(kPing).empty());

  SimConfig config = Loader("TXC7390");
  config.blockSizeAnswer.reset();
  config.nameAnswer = "TXC7390-B";
  Controller c(config);
  EXPECT_TRUE(c.Send(kBlockSize).empty());
  Bytes name = {0x06};
  for (char ch : std::string("TXC7390-B")) name.push_back(uint8_t(ch));
  name.push_back(0x06);
  EXPECT_EQ(c.Send(kName), name);

  SimConfig bad;
  bad.model = "TXC9999";
  sim::SimEngine engine;
  EXPECT_FALSE(sim::SimInit(engine, bad));
}

TEST(SimEngineCommands, RateSwitchTakesEffectAfterTheAckAndRebootRestoresIt) {
  Controller c(Loader("TXC7390"));
  EXPECT_EQ(c.Send(Baud(460800)), kAck);
  EXPECT_TRUE(c.events & sim::kSimEventRateChange);
  EXPECT_EQ(sim::SimCurrentRate(c.engine), 460800u);
  EXPECT_EQ(c.Send(Baud(0)), kNak);
  EXPECT_EQ(sim::SimCurrentRate(c.engine), 460800u);
  EXPECT_EQ(c.Send(kReboot), kAck);
  EXPECT_EQ(c.events, uint32_t(sim::kSimEventReboot | sim::kSimEventRateChange));
  EXPECT_EQ(sim::SimCurrentRate(c.engine), 115200u);

  Controller family1(Loader("TXC5150"));
  EXPECT_EQ(family1.Send(Baud(460800)), kNak);
  EXPECT_EQ(sim::SimCurrentRate(family1.engine), 115200u);
  EXPECT_EQ(family1.Faults(), 1u);
}

struct Landing {
  const char* model;
  Bytes select;
  uint16_t eraseParameter;
  uint16_t offset;
  uint32_t address;  // where the block must land
};

TEST(SimEngineFlash, WritesLandWhereTheHostMappedThem) {
  const Landing cases[] = {
      {"TXC5110", Page8(1), 0xF000, 0x8000, 0x00000},
      {"TXC5110", Page8(2), 0xF000, 0x8100, 0x08100},
      {"TXC5150", Page8(6), 0xF000, 0xFFF0, 0x2FFF0},
      {"TXC6260", Page8(11), 0xF000, 0x0000, 0x20000},
      {"TXC6260", Page8(26), 0xF000, 0x0800, 0x7C800},
      {"TXC6260", Page8(22), 0xF000, 0x0F00, 0x78F00},
      {"TXC7350", Page8(0x81), 0xF000, 0x0000, 0xC0010000},
      {"TXC7320", Page8(0x9F), 0xF000, 0xFF00, 0xC01FFF00},
      {"TXC7380", Page16(257), 0, 0x0000, 0x90004000},
      {"TXC7380", Page16(256), 0, 0x3F00, 0x90003F00},
      {"TXM9410", Page16(0x100), 0, 0x0000, 0x60100000},
      {"TXM9410", Page16(0x110), 0, 0x1000, 0x60111000},
      {"TXC7390", Page16(257), 0, 0x0800, 0x90020800},
  };
  for (const Landing& l : cases) {
    Controller c(Loader(l.model));
    if (std::string_view(l.model).starts_with("TXC73") && l.model[5] >= '8') c.Send(kNandIndex);
    ASSERT_EQ(c.Send(l.select), kAck) << l.model;
    ASSERT_EQ(c.Send(Erase(l.eraseParameter)), kAck) << l.model;
    ASSERT_EQ(c.Send(WriteFrame(l.offset, {0x12, 0x34})), kAck) << l.model << " " << l.offset;
    EXPECT_EQ(c.At(l.address), 0x12) << l.model;
    EXPECT_EQ(c.At(l.address + 1), 0x34) << l.model;
    EXPECT_EQ(c.At(l.address + 2), 0xFF) << l.model;
    EXPECT_EQ(c.Faults(), 0u) << l.model;
  }
}

TEST(SimEngineFlash, Txc7390SubPagesOfItsPages) {
  Controller c(Loader("TXC7390"));
  ASSERT_EQ(c.Send(kNandIndex), kAck);
  ASSERT_EQ(c.Send(Page16(256)), kAck);
  ASSERT_EQ(c.Send(Erase(0)), kAck);
  EXPECT_EQ(c.Send(WriteFrame(0x0000, {1})), kAck);  // 0x90000000
  EXPECT_EQ(c.Send(SubPage(1)), kAck);
  EXPECT_EQ(c.Send(WriteFrame(0x0000, {2})), kAck);  // 0x90010000
  EXPECT_EQ(c.Send(WriteFrame(0x0800, {3})), kAck);  // 0x90010800
  EXPECT_EQ(c.Send(Page16(257)), kAck);
  EXPECT_EQ(c.Send(Erase(0)), kAck);
  EXPECT_EQ(c.Send(WriteFrame(0x0000, {4})), kAck);  // 0x90020000, sub-page 0 again
  EXPECT_EQ(c.At(0x90000000), 1);
  EXPECT_EQ(c.At(0x90010000), 2);
  EXPECT_EQ(c.At(0x90010800), 3);
  EXPECT_EQ(c.At(0x90020000), 4);
  EXPECT_EQ(c.Send(SubPage(2)), kNak);
  EXPECT_EQ(c.Faults(), 1u);
  EXPECT_EQ(c.Send(kFlush), kAck);
  EXPECT_EQ(c.Send(kVerify), kAck);
  Bytes image = sim::SimFlashImage(c.engine);
  ASSERT_EQ(image.size(), 0x20001u);
  EXPECT_EQ(image[0x10000], 2);
  EXPECT_EQ(image[0x10001], 0xFF);
}

TEST(SimEngineFlash, PagesAndOffsetsOutsideTheModelAreRefused) {
  struct Refusal {
    const char* model;
    Bytes frame;
  };
  const Refusal refusals[] = {
      {"TXC5110", Page8(0)},
      {"TXC5110", Page8(4)},  // 96 KB: pages 1 to 3
      {"TXC6260", Page8(10)},
      {"TXC6260", Page8(27)},  // below the base: the loader
      {"TXC7350", Page8(0x7F)},
      {"TXC7350", Page8(0xA0)},
      {"TXM9410", Page16(0x101)},
      {"TXM9410", Page16(0xF0)},
      {"TXM9410", Page16(0x2000)},
      {"TXC7380", Page16(255)},
      {"TXC7380", Page16(256 + 2045)},
      {"TXC7390", Page16(256 + 1021)},
      {"TXC7390", Page8(0x00)},
      {"TXC5110", Page16(1)},  // the other select command
      {"TXC7380", SubPage(1)},
      {"TXC5110", kNandIndex},
      {"TXC5110", kFlush},
      {"TXC5130", kVerify},
      {"TXC5110", Erase(0xF000)},  // nothing selected
      {"TXC5110", WriteFrame(0x8000, {1})},
  };
  for (const Refusal& r : refusals) {
    Controller c(Loader(r.model));
    EXPECT_EQ(c.Send(r.frame), kNak) << r.model << " frame byte 2 " << int(r.frame[2]);
    EXPECT_EQ(c.Faults(), 1u) << r.model;
  }

  Controller c(Loader("TXC5110"));
  ASSERT_EQ(c.Send(Page8(1)), kAck);
  EXPECT_EQ(c.Send(Erase(0x0000)), kNak);  // this loader erases with F000 only
  ASSERT_EQ(c.Send(Erase(0xF000)), kAck);
  EXPECT_EQ(c.Send(WriteFrame(0x7FFF, {1})), kNak);     // below 0x8000
  EXPECT_EQ(c.Send(WriteFrame(0xFFFF, {1, 2})), kNak);  // crosses the page end
  EXPECT_EQ(c.Send(WriteFrame(0x8000, {})), kNak);      // empty block
  EXPECT_EQ(c.Faults(), 4u);

  Controller c38(Loader("TXC7380"));
  c38.Send(kNandIndex);
  c38.Send(Page16(256));
  c38.Send(Erase(0));
  EXPECT_EQ(c38.Send(WriteFrame(0x3F00, {1, 2})), kAck);
  EXPECT_EQ(c38.Send(kFlush), kAck);
  EXPECT_EQ(c38.Send(WriteFrame(0x3FFF, {1, 2})), kNak);
  EXPECT_EQ(c38.Send(WriteFrame(0x4000, {1})), kNak);
  // A block that did not land fails the flush and the verify.
  EXPECT_EQ(c38.Send(kFlush), kNak);
  EXPECT_EQ(c38.Send(kVerify), kNak);
}

TEST(SimEngineFlash, LargestModelsAreStoredLazily) {
  Controller c(Loader("TXC7390"));
  c.Send(kNandIndex);
  ASSERT_EQ(c.Send(Page16(256 + 1020)), kAck);  // the last page, 133 MB up
  ASSERT_EQ(c.Send(Erase(0)), kAck);
  ASSERT_EQ(c.Send(SubPage(1)), kAck);
  ASSERT_EQ(c.Send(WriteFrame(0xFFFF, {0x5A})), kAck);
  EXPECT_EQ(c.At(0x97F9FFFF), 0x5A);
  EXPECT_EQ(c.At(0x90000000), 0x00);  // never erased: the old firmware
  EXPECT_EQ(c.Faults(), 0u);
}

TEST(SimEngineFlash, WritingOverUnerasedBytesIsAHostFaultAndFailsTheVerify) {
  Controller c(Loader("TXC6260"));
  ASSERT_EQ(c.Send(Page8(11)), kAck);
  // Acknowledged, as a controller programs blindly, but noticed.
  EXPECT_EQ(c.Send(WriteFrame(0x0000, {0xF0})), kAck);
  EXPECT_EQ(c.Faults(), 1u);
  EXPECT_EQ(c.At(0x20000), 0x00);
  EXPECT_EQ(c.Send(kFlush), kNak);
  EXPECT_EQ(c.Send(kVerify), kNak);
  ASSERT_EQ(c.Send(Erase(0xF000)), kAck);
  EXPECT_EQ(c.Send(WriteFrame(0x0000, {0xF0})), kAck);
  EXPECT_EQ(c.Send(kVerify), kAck);
  // The same byte twice: flash only clears bits.
  EXPECT_EQ(c.Send(WriteFrame(0x0000, {0x0F})), kAck);
  EXPECT_EQ(c.At(0x20000), 0x00);
  EXPECT_EQ(c.Faults(), 2u);
  EXPECT_EQ(c.Send(kFlush), kNak);
}

TEST(SimEngineFlash, CheckByteAndBufferSizeOfWriteBlocks) {
  SimConfig config = Loader("TXC7350");
  config.blockSizeAnswer = 256;
  Controller c(config);
  ASSERT_EQ(c.Send(Page8(0x80)), kAck);
  ASSERT_EQ(c.Send(Erase(0xF000)), kAck);
  Bytes frame = WriteFrame(0x0000, {1, 2, 3});
  frame.back() ^= 1;
  EXPECT_EQ(c.Send(frame), Bytes{sim::kSimReplyChecksum});
  EXPECT_EQ(c.At(0xC0000000), 0xFF);
  EXPECT_EQ(c.Send(WriteFrame(0x0000, Bytes(257, 0x11))), Bytes{sim::kSimReplyOverrun});
  EXPECT_EQ(c.Send(WriteFrame(0x0000, Bytes(256, 0x11))), kAck);
  EXPECT_EQ(c.Faults(), 2u);
  EXPECT_EQ(sim::SimGetStats(c.engine).bytesWritten, 256u);
}

TEST(SimEngineFlash, FirstNandPageWantsItsIndexErasedFirst) {
  Controller c(Loader("TXC7380"));
  ASSERT_EQ(c.Send(Page16(256)), kAck);
  EXPECT_EQ(c.Send(Erase(0)), kAck);
  EXPECT_EQ(c.Faults(), 1u);
}

TEST(SimEngineFaults, InjectedAtTheKthOccurrence) {
  SimConfig config = Loader("TXC5110");
  config.faults = {{"write", 2, FaultKind::Nak},
                   {"ping", 1, FaultKind::Silence},
                   {"ping", 3, FaultKind::ChecksumError},
                   {"ping", 4, FaultKind::Overrun},
                   {"ident", 1, FaultKind::WrongFirstByte},
                   {"reboot", 1, FaultKind::DropLink}};
  Controller c(config);
  EXPECT_TRUE(c.Send(kPing).empty());
  EXPECT_EQ(c.Send(kPing), kAck);
  EXPECT_EQ(c.Send(kPing), Bytes{0x17});
  EXPECT_EQ(c.Send(kPing), Bytes{0x19});
  EXPECT_EQ(c.Send(kPing), kAck);
  Bytes ident = c.Send(kIdent);
  ASSERT_GE(ident.size(), 2u);
  EXPECT_EQ(ident.front(), sim::kSimReplyWrongFirstByte);
  EXPECT_EQ(ident.back(), 0x06);

  ASSERT_EQ(c.Send(Page8(1)), kAck);
  ASSERT_EQ(c.Send(Erase(0xF000)), kAck);
  EXPECT_EQ(c.Send(WriteFrame(0x8000, {1})), kAck);
  EXPECT_EQ(c.Send(WriteFrame(0x8001, {2})), kNak);  // refused and not written
  EXPECT_EQ(c.At(1), 0xFF);
  EXPECT_EQ(c.Send(WriteFrame(0x8001, {2})), kAck);
  EXPECT_EQ(c.At(1), 2);

  EXPECT_TRUE(c.Send(kReboot).empty());
  EXPECT_EQ(c.events, uint32_t(sim::kSimEventDropLink));
  EXPECT_EQ(c.Faults(), 0u);  // injected faults are not the host's

  SimConfig app;
  app.faults = {{"probe", 1, FaultKind::Nak}};
  Controller a(app);
  EXPECT_EQ(a.Send(kProbe), kNak);
  EXPECT_EQ(a.Send(kProbe), kAck);

  SimConfig unknown;
  unknown.faults = {{"jump", 1, FaultKind::Nak}};
  sim::SimEngine engine;
  EXPECT_FALSE(sim::SimInit(engine, unknown));
}

TEST(SimLine, SettingsThatLetBytesThrough) {
  sim::SimLineSettings good{115200, 8, false, 2};
  EXPECT_EQ(sim::SimLineMismatch(good, 115200), "");
  EXPECT_EQ(sim::SimLineMismatch({115000, 8, false, 2}, 115200), "");  // within a UART's tolerance
  EXPECT_NE(sim::SimLineMismatch({57600, 8, false, 2}, 115200), "");
  EXPECT_NE(sim::SimLineMismatch(good, 460800), "");  // the controller switched, the host did not
  EXPECT_NE(sim::SimLineMismatch({115200, 8, false, 1}, 115200), "");
  EXPECT_NE(sim::SimLineMismatch({115200, 7, false, 2}, 115200), "");
  EXPECT_NE(sim::SimLineMismatch({115200, 8, true, 2}, 115200), "");
}

}  // namespace
