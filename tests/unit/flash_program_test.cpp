// The programming run against a scripted loader: erase sequences per chip,
// the progress line byte for byte, rate switching, every failure status.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "base/status.h"
#include "flash/controller.h"
#include "flash/program.h"
#include "link/link.h"
#include "flash_test_images.h"
#include "support/fake_serial.h"

namespace {

using namespace test_images;

// A loader that acknowledges every frame, answers the two queries, and
// refuses the n-th frame that begins with `refuse` (0: every one).
struct ScriptedLoader {
  std::string name = "TXC5110";
  std::optional<uint16_t> blockSize = 2048;
  Bytes refuse;
  int refuseOccurrence = 0;
  int refuseSeen = 0;
  std::vector<Bytes> frames;  // unescaped, in order
  std::function<void(const Bytes&)> onFrame;
};

ScriptedLoader* gLoader = nullptr;

bool StartsWith(const Bytes& frame, const Bytes& prefix) {
  return frame.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), frame.begin());
}

Bytes Answer(std::span<const uint8_t> wire) {
  ScriptedLoader& l = *gLoader;
  Bytes frame = Unescape(wire);
  l.frames.push_back(frame);
  if (l.onFrame) l.onFrame(frame);
  if (!l.refuse.empty() && StartsWith(frame, l.refuse)) {
    ++l.refuseSeen;
    if (l.refuseOccurrence == 0 || l.refuseSeen == l.refuseOccurrence) return {0x15};
  }
  if (frame == Bytes{0xAA, 0x3F, 0x43}) {
    Bytes r = {0x06};
    r.insert(r.end(), l.name.begin(), l.name.end());
    r.push_back(0x06);
    return r;
  }
  if (frame == Bytes{0xAA, 0x7C, 0x3F, 0x57}) {
    if (!l.blockSize) return {};
    return {0x06, static_cast<uint8_t>(*l.blockSize >> 8), static_cast<uint8_t>(*l.blockSize), 0x06};
  }
  return {0x06};
}

struct ProgramScope {
  FakeSerialSession session;
  ScriptedLoader loader;
  explicit ProgramScope(bool noCts = false) : session(noCts) {
    gLoader = &loader;
    FakeSerial.responder = Answer;
  }
  ~ProgramScope() { gLoader = nullptr; }
};

std::string Temp(const Bytes& bytes) {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return WriteTemp(std::string(info->test_suite_name()) + "." + info->name() + ".bin", bytes);
}

bool IsWrite(const Bytes& f) { return StartsWith(f, {0xAA, 0x7C, 0x57}); }
uint16_t WriteOffset(const Bytes& f) { return static_cast<uint16_t>(f[3] << 8 | f[4]); }
uint16_t WriteLength(const Bytes& f) { return static_cast<uint16_t>(f[5] << 8 | f[6]); }

// The frames after the two queries, with the write blocks reduced to their
// first seven bytes (command, offset, length).
std::vector<Bytes> RunFrames(const ScriptedLoader& l) {
  std::vector<Bytes> out;
  for (size_t i = 2; i < l.frames.size(); ++i)
    out.push_back(IsWrite(l.frames[i]) ? Bytes(l.frames[i].begin(), l.frames[i].begin() + 7) : l.frames[i]);
  return out;
}

std::string Captured(const char* path, int32_t command, int32_t upload, int* result) {
  ::testing::internal::CaptureStdout();
  *result = ProgramFlash(path, command, upload);
  return ::testing::internal::GetCapturedStdout();
}

Bytes W(uint16_t offset, uint16_t length) {
  return {0xAA,
          0x7C,
          0x57,
          static_cast<uint8_t>(offset >> 8),
          static_cast<uint8_t>(offset),
          static_cast<uint8_t>(length >> 8),
          static_cast<uint8_t>(length)};
}

const Bytes kNandIndex = {0xAA, 0x7C, 0x4B};
const Bytes kErase0 = {0xAA, 0x7C, 0x45, 0x00, 0x00};
const Bytes kEraseF000 = {0xAA, 0x7C, 0x45, 0xF0, 0x00};
const Bytes kFlush = {0xAA, 0x7C, 0x4C};
const Bytes kVerify = {0xAA, 0x7C, 0x56};

TEST(ProgramErase, Txc7390FirstPageGetsTheNandIndexErase) {
  ProgramScope s;
  s.loader.name = "TXC7390";
  LinkState.maxBlockSize = 2048;
  std::string path = Temp(MakeImage(3 * 2048, "TXC7390"));
  int ok = 0;
  Captured(path.c_str(), 115200, 0, &ok);
  ASSERT_TRUE(ok) << LastStatusText();
  EXPECT_EQ(RunFrames(s.loader), (std::vector<Bytes>{kNandIndex,
                                                     {0xAA, 0x7C, 0x70, 0x01, 0x00},
                                                     kErase0,
                                                     W(0, 2048),
                                                     W(0x800, 2048),
                                                     W(0x1000, 2048),
                                                     kFlush,
                                                     kVerify}));
  EXPECT_EQ(CurrentController.flashAddress, 0x90000000u + 3 * 2048);
}

TEST(ProgramErase, Txc7390SubPageAndSecondPage) {
  ProgramScope s;
  s.loader.name = "TXC7390";
  LinkState.maxBlockSize = 2048;
  std::string path = Temp(MakeImage(0x20000 + 2048, "TXC7390"));
  int ok = 0;
  Captured(path.c_str(), 115200, 0, &ok);
  ASSERT_TRUE(ok) << LastStatusText();
  std::vector<Bytes> frames = RunFrames(s.loader);
  std::vector<Bytes> controls;
  for (const Bytes& f : frames)
    if (!IsWrite(f)) controls.push_back(f);
  EXPECT_EQ(controls, (std::vector<Bytes>{kNandIndex,
                                          {0xAA, 0x7C, 0x70, 0x01, 0x00},
                                          kErase0,
                                          {0xAA, 0x7C, 0x73, 0x00, 0x01},
                                          {0xAA, 0x7C, 0x70, 0x01, 0x01},
                                          kErase0,
                                          kFlush,
                                          kVerify}));
  // The sub-page select comes right before the block at 0x90010000 (32nd).
  size_t writes = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    if (!IsWrite(frames[i])) continue;
    EXPECT_EQ(WriteOffset(frames[i]), (writes * 2048) & 0xFFFF);
    if (writes == 32) {
      EXPECT_EQ(frames[i - 1], (Bytes{0xAA, 0x7C, 0x73, 0x00, 0x01}));
    }
    if (writes == 64) {
      EXPECT_EQ(frames[i - 1], kErase0);
    }
    ++writes;
  }
  EXPECT_EQ(writes, 65u);
}

TEST(ProgramErase, Family1AndFamily2Pages) {
  {
    ProgramScope s;
    std::string path = Temp(MakeImage(512, "TXC5110"));
    int ok = 0;
    std::string out = Captured(path.c_str(), 115200, 0, &ok);
    ASSERT_TRUE(ok) << LastStatusText();
    EXPECT_EQ(RunFrames(s.loader),
              (std::vector<Bytes>{{0xAA, 0x7C, 0x50, 0x01}, kEraseF000, W(0x8000, 256), W(0x8100, 256)}));
  }
  {
    ProgramScope s;
    s.loader.name = "TXC6260";
    std::string path = Temp(MakeImage(4096 + 256, "TXC6260"));
    int ok = 0;
    Captured(path.c_str(), 115200, 0, &ok);
    ASSERT_TRUE(ok) << LastStatusText();
    std::vector<Bytes> frames = RunFrames(s.loader);
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[0], (Bytes{0xAA, 0x7C, 0x50, 0x0B}));
    EXPECT_EQ(frames[1], kEraseF000);
    // 0x20000 lies in a 32 KB sector: no further erase for 4352 bytes.
    EXPECT_EQ(std::count(frames.begin(), frames.end(), kEraseF000), 1);
  }
  {
    ProgramScope s;
    s.loader.name = "TXM9410";
    LinkState.maxBlockSize = 2048;
    std::string path = Temp(MakeImage(0x10000 + 2048, "TXM9410"));
    int ok = 0;
    Captured(path.c_str(), 115200, 0, &ok);
    ASSERT_TRUE(ok) << LastStatusText();
    std::vector<Bytes> frames = RunFrames(s.loader);
    EXPECT_EQ(frames[0], (Bytes{0xAA, 0x7C, 0x70, 0x01, 0x00}));
    EXPECT_EQ(frames[1], kErase0);
    EXPECT_EQ(std::count(frames.begin(), frames.end(), Bytes{0xAA, 0x7C, 0x70, 0x01, 0x10}), 1);
  }
}

// The progress text after "Programming application data: ", rebuilt from
// the line's rules for a run of `total` bytes in kilobyte steps.
std::string ExpectedProgress(uint32_t totalKb, std::initializer_list<std::pair<uint32_t, uint32_t>> steps) {
  std::string out = "Programming application data: ";
  std::string last = "Total size is " + std::to_string(totalKb) + "kB";
  out += last;
  for (auto [kb, percent] : steps) {
    out += std::string(last.size(), '\b');
    last = std::to_string(kb) + "kB (" + std::to_string(percent) + "%) of " + std::to_string(totalKb) +
           "kB written";
    out += last;
  }
  return out;
}

TEST(ProgramProgress, HundredKilobytesRedrawsOncePerKilobyte) {
  ProgramScope s;
  std::string path = Temp(MakeImage(102400, "TXC5150"));
  s.loader.name = "TXC5150";
  int ok = 0;
  std::string out = Captured(path.c_str(), 115200, 0, &ok);
  ASSERT_TRUE(ok) << LastStatusText();
  std::string expected = "Programming application data: Total size is 100kB";
  std::string last = "Total size is 100kB";
  for (uint32_t k = 1; k <= 100; ++k) {
    expected += std::string(last.size(), '\b');
    last = std::to_string(k) + "kB (" + std::to_string(k) + "%) of 100kB written";
    expected += last;
  }
  expected += " - Ok\n";
  EXPECT_EQ(out, expected);
  // The first redraw follows the fourth block and fills in 1, 1 and 100.
  EXPECT_NE(out.find("Total size is 100kB" + std::string(19, '\b') + "1kB (1%) of 100kB written"),
            std::string::npos);
}

TEST(ProgramProgress, SmallImageRedrawsOnceAtTheEnd) {
  ProgramScope s;
  std::string path = Temp(MakeImage(600, "TXC5110"));
  int ok = 0;
  std::string out = Captured(path.c_str(), 115200, 0, &ok);
  ASSERT_TRUE(ok) << LastStatusText();
  EXPECT_EQ(out, ExpectedProgress(0, {{0, 100}}) + " - Ok\n");
  EXPECT_EQ(out,
            "Programming application data: Total size is 0kB"
            "\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b\b0kB (100%) of 0kB written - Ok\n");
}

TEST(ProgramProgress, PercentDoesNotOverflowForTheLargestModel) {
  const uint32_t max = ModelTable[1].maxImageSize;  // 133824512
  EXPECT_EQ(ProgressPercent(50000000, max), 37u);
  EXPECT_EQ(ProgressPercent(max - 1024, max), 99u);
  EXPECT_EQ(ProgressPercent(max, max), 100u);
  EXPECT_EQ(ProgressPercent(1024, 102400), 1u);
  EXPECT_EQ(ProgressPercent(1023, 102400), 0u);
}

TEST(ProgramFamilies, Family3FlushesAndVerifies) {
  ProgramScope s;
  s.loader.name = "TXC7320";
  std::string path = Temp(MakeImage(1024, "TXC7320"));
  int ok = 0;
  std::string out = Captured(path.c_str(), 115200, 0, &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(out, ExpectedProgress(1, {{1, 100}}) + " - Ok - Verifying - Ok\n");
  EXPECT_EQ(RunFrames(s.loader).front(), (Bytes{0xAA, 0x7C, 0x50, 0x80}));
}

TEST(ProgramFamilies, FlushAndVerifyRefusals) {
  {
    ProgramScope s;
    s.loader.name = "TXC7350";
    s.loader.refuse = kVerify;
    std::string path = Temp(MakeImage(1024, "TXC7350"));
    int ok = 1;
    std::string out = Captured(path.c_str(), 115200, 460800, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(out, ExpectedProgress(1, {{1, 100}}) + " - Ok - Verifying - Verify error\n");
    // The rates stay at the upload rate: no frame after the verify.
    EXPECT_EQ(s.loader.frames.back(), kVerify);
    EXPECT_EQ(FakeSerial.configuredRates.back(), 460800);
  }
  {
    ProgramScope s;
    s.loader.name = "TXC7350";
    s.loader.refuse = kFlush;
    std::string path = Temp(MakeImage(1024, "TXC7350"));
    int ok = 1;
    std::string out = Captured(path.c_str(), 115200, 0, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(out, ExpectedProgress(1, {{1, 100}}) + " - Ok - Flushing error\n");
    EXPECT_EQ(s.loader.frames.back(), kFlush);
  }
}

const Bytes kBaud460800 = {0xAA, 0x49, 0x42, 0x00, 0x00, 0x07, 0x08, 0x00};
const Bytes kBaud115200 = {0xAA, 0x49, 0x42, 0x00, 0x00, 0x01, 0xC2, 0x00};

TEST(ProgramRates, UploadRateSwitchAndBack) {
  ProgramScope s(/*noCts=*/true);
  s.loader.name = "TXC6260";
  std::string path = Temp(MakeImage(256, "TXC6260"));
  // Which host rate every frame went out at.
  std::vector<std::pair<Bytes, int32_t>> seen;
  s.loader.onFrame = [&](const Bytes& f) { seen.push_back({f, FakeSerial.hostRate}); };
  int ok = 0;
  Captured(path.c_str(), 115200, 460800, &ok);
  ASSERT_TRUE(ok) << LastStatusText();
  EXPECT_EQ(FakeSerial.configuredRates, (std::vector<int32_t>{115200, 460800, 115200, 460800, 115200}));
  for (bool noCts : FakeSerial.configuredNoCts) EXPECT_TRUE(noCts);
  ASSERT_GE(seen.size(), 4u);
  EXPECT_EQ(seen[2], std::make_pair(kBaud460800, 115200));
  EXPECT_EQ(seen[3].second, 460800) << "the erase goes out at the upload rate";
  EXPECT_EQ(seen.back(), std::make_pair(kBaud115200, 460800));
  EXPECT_EQ(FakeSerial.hostRate, 115200);
}

TEST(ProgramRates, NoSwitchForZeroOrTheSameRate) {
  for (int32_t upload : {0, 115200}) {
    ProgramScope s;
    s.loader.name = "TXC6260";
    std::string path = Temp(MakeImage(256, "TXC6260"));
    int ok = 0;
    Captured(path.c_str(), 115200, upload, &ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(FakeSerial.configuredRates, (std::vector<int32_t>{115200})) << upload;
  }
}

TEST(ProgramRates, Failures) {
  {  // Family 1 cannot switch: nothing erased.
    ProgramScope s;
    std::string path = Temp(MakeImage(256, "TXC5110"));
    int ok = 1;
    std::string out = Captured(path.c_str(), 115200, 460800, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(LastStatusCode(), 0x204);
    EXPECT_EQ(s.loader.frames.size(), 2u);
    EXPECT_EQ(out, "");
  }
  {  // The host refuses the upload rate before the controller hears of it.
    ProgramScope s;
    s.loader.name = "TXC6260";
    FakeSerial.refusedRates = {460800};
    std::string path = Temp(MakeImage(256, "TXC6260"));
    int ok = 1;
    Captured(path.c_str(), 115200, 460800, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(LastStatusCode(), 0x4105);
    EXPECT_EQ(s.loader.frames.size(), 2u);
  }
  {  // The controller refuses: the host is back at the command rate.
    ProgramScope s;
    s.loader.name = "TXC6260";
    s.loader.refuse = kBaud460800;
    std::string path = Temp(MakeImage(256, "TXC6260"));
    int ok = 1;
    Captured(path.c_str(), 115200, 460800, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(LastStatusCode(), 0x205);
    EXPECT_EQ(FakeSerial.hostRate, 115200);
  }
  {  // The host's switch after the controller's fails.
    ProgramScope s;
    s.loader.name = "TXC6260";
    FakeSerial.refusedCalls = {4};
    std::string path = Temp(MakeImage(256, "TXC6260"));
    int ok = 1;
    Captured(path.c_str(), 115200, 460800, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(LastStatusCode(), 0x206);
  }
  {  // The way back is refused by the controller.
    ProgramScope s;
    s.loader.name = "TXC6260";
    s.loader.refuse = kBaud115200;
    std::string path = Temp(MakeImage(256, "TXC6260"));
    int ok = 1;
    Captured(path.c_str(), 115200, 460800, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(LastStatusCode(), 0x205);
  }
  {  // The host's way back fails with its own status.
    ProgramScope s;
    s.loader.name = "TXC6260";
    FakeSerial.refusedCalls = {5};
    std::string path = Temp(MakeImage(256, "TXC6260"));
    int ok = 1;
    Captured(path.c_str(), 115200, 460800, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(LastStatusCode(), 0x4105);
  }
}

TEST(ProgramBlockSize, ControllerAnswerOnlyLowersToAPowerOfTwo) {
  struct Case {
    std::optional<uint16_t> answer;
    uint32_t linkSize;
    uint32_t expected;
  };
  const Case cases[] = {
      {2048, 256, 256},          {100, 256, 64},       {0, 256, 256},
      {192, 256, 128},           {1, 256, 1},          {1000, 2048, 512},
      {std::nullopt, 2048, 256}, {0x8000, 2048, 2048}, {0xFFFF, 64, 64},
  };
  for (const Case& c : cases) {
    ProgramScope s;
    s.loader.name = "TXC6260";
    s.loader.blockSize = c.answer;
    LinkState.maxBlockSize = c.linkSize;
    std::string path = Temp(MakeImage(4096, "TXC6260"));
    int ok = 0;
    Captured(path.c_str(), 115200, 0, &ok);
    ASSERT_TRUE(ok) << LastStatusText();
    size_t writes = 0;
    for (const Bytes& f : s.loader.frames) {
      if (!IsWrite(f)) continue;
      EXPECT_EQ(WriteLength(f), c.expected) << "answer " << c.answer.value_or(0);
      ++writes;
    }
    EXPECT_EQ(writes, 4096 / c.expected);
  }
}

TEST(ProgramFailures, StatusesOfEveryStep) {
  struct Case {
    const char* name;
    const char* model;  // the controller's answer
    const char* image;  // the image's model
    Bytes refuse;
    int occurrence;
    StatusCode status;
    bool programmingError;  // the progress line ended in "Programing Error"
  };
  const Case cases[] = {
      {"name refused", "TXC5110", "TXC5110", {0xAA, 0x3F, 0x43}, 0, 0x211, false},
      {"unknown model", "TXC4000", "TXC5110", {}, 0, 0x211, false},
      {"misfit", "TXC5110", "TXC6260", {}, 0, 0x213, false},
      {"erase 8", "TXC5110", "TXC5110", {0xAA, 0x7C, 0x45}, 0, 0x201, true},
      {"select 8", "TXC5110", "TXC5110", {0xAA, 0x7C, 0x50}, 0, 0x201, true},
      {"erase 16", "TXM9410", "TXM9410", {0xAA, 0x7C, 0x70}, 0, 0x201, true},
      {"NAND index", "TXC7390", "TXC7390", kNandIndex, 0, 0x203, true},
      {"NAND erase", "TXC7390", "TXC7390", kErase0, 0, 0x201, true},
      {"sub-page", "TXC7390", "TXC7390", {0xAA, 0x7C, 0x73}, 0, 0x202, true},
      {"TXC7380 erase", "TXC7380", "TXC7380", kErase0, 2, 0x201, true},
      {"write", "TXC5110", "TXC5110", {0xAA, 0x7C, 0x57}, 3, 0x207, true},
  };
  for (const Case& c : cases) {
    ProgramScope s;
    s.loader.name = c.model;
    s.loader.refuse = c.refuse;
    s.loader.refuseOccurrence = c.occurrence;
    std::string path = Temp(MakeImage(0x10000 + 0x8000, c.image));
    int ok = 1;
    std::string out = Captured(path.c_str(), 115200, 0, &ok);
    EXPECT_FALSE(ok) << c.name;
    EXPECT_EQ(LastStatusCode(), c.status) << c.name;
    bool ended = out.size() >= 18 && out.compare(out.size() - 18, 18, "\nPrograming Error\n") == 0;
    EXPECT_EQ(ended, c.programmingError) << c.name << ": " << out;
  }
}

TEST(ProgramFailures, FileProblems) {
  {
    ProgramScope s;
    int ok = 1;
    Captured("/nonexistent/pendrel.bin", 115200, 0, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(LastStatusCode(), 0x20A);
    EXPECT_TRUE(s.loader.frames.empty()) << "nothing asked before the file opens";
  }
  {
    ProgramScope s;
    Bytes image = MakeImage(2000, "TXC5110");
    image[5] ^= 1;
    std::string path = Temp(image);
    int ok = 1;
    Captured(path.c_str(), 115200, 0, &ok);
    EXPECT_EQ(LastStatusCode(), 0x212);
    EXPECT_EQ(s.loader.frames.size(), 2u) << "nothing erased before the checks pass";
  }
  {  // The file shrinks under the run: an unexpected end while writing
     // (past what the C runtime may have buffered already).
    ProgramScope s;
    std::string path = Temp(MakeImage(0x10000, "TXC5110"));
    s.loader.onFrame = [&](const Bytes& f) {
      if (IsWrite(f)) std::filesystem::resize_file(path, 1000);
    };
    int ok = 1;
    std::string out = Captured(path.c_str(), 115200, 0, &ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(LastStatusCode(), 0x209);
    EXPECT_NE(out.find("\nPrograming Error\n"), std::string::npos);
  }
  {  // No run, no file: a read error rather than a crash.
    ProgramScope s;
    EXPECT_FALSE(WriteNextBlock());
    EXPECT_EQ(LastStatusCode(), 0x208);
  }
}

size_t OpenDescriptors() {
  std::error_code error;
  size_t n = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error))
    ++n;
  return n;
}

TEST(ProgramFailures, FileIsClosedOnEveryPath) {
#ifdef _WIN32
  // Under Wine, /proc/self/fd is the emulator's own, whose descriptors come
  // and go by themselves.
  GTEST_SKIP() << "counts POSIX descriptors";
#endif
  if (!std::filesystem::exists("/proc/self/fd")) GTEST_SKIP() << "no /proc here";
  const std::pair<const char*, Bytes> refusals[] = {{"success", {}},
                                                    {"name", {0xAA, 0x3F, 0x43}},
                                                    {"erase", {0xAA, 0x7C, 0x45}},
                                                    {"write", {0xAA, 0x7C, 0x57}}};
  for (const auto& [name, refuse] : refusals) {
    ProgramScope s;
    s.loader.refuse = refuse;
    std::string path = Temp(MakeImage(1024, "TXC5110"));
    size_t before = OpenDescriptors();
    int ok = 0;
    Captured(path.c_str(), 115200, 0, &ok);
    EXPECT_EQ(OpenDescriptors(), before) << name;
  }
}

TEST(HostBaudRate, GuardedByTheLinkState) {
  {
    FakeSerialSession session(false, /*open=*/false);
    EXPECT_FALSE(SetHostBaudRate(9600));
    EXPECT_EQ(LastStatusCode(), 0x20F);
  }
  {
    FakeSerialSession session;
    LinkState.isSerial = false;
    EXPECT_FALSE(SetHostBaudRate(9600));
    EXPECT_EQ(LastStatusCode(), 0x110);
    LinkState.isSerial = true;
    LinkSetTimeouts(5000, 100);
    EXPECT_TRUE(SetHostBaudRate(9600));
    EXPECT_EQ(FakeSerial.configuredRates.back(), 9600);
    EXPECT_EQ(FakeSerial.timeouts.readConstant, 500u) << "the standing pair again";
  }
}

}  // namespace
