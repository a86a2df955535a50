// The data file: wrapper recognition, the image checks and where they leave
// the file.
#include <gtest/gtest.h>

#include <filesystem>

#include "base/status.h"
#include "flash/controller.h"
#include "flash/data_file.h"
#include "flash_test_images.h"

namespace {

using namespace test_images;

struct Checked {
  int ok;
  StatusCode status;
  ImageLocation image;
  long position;  // file position after the check
};

// Opens, locates and checks `bytes` as file `name` against `model`.
Checked CheckFile(const std::string& name, const Bytes& bytes, const char* model, uint32_t chunk = 256) {
  ResetCurrentController();
  uint32_t max = 0;
  EXPECT_TRUE(LookUpControllerModel(model, &max));
  FlashDataFile data;
  std::string path = WriteTemp(name, bytes);
  EXPECT_TRUE(OpenFlashDataFile(path.c_str(), data));
  EXPECT_EQ(data.size, bytes.size());
  SetLastStatus(0);
  Checked out{};
  out.image = LocateImage(data.file.get(), data.size);
  out.ok = CheckImage(data.file.get(), out.image, max, chunk);
  out.status = LastStatusCode();
  out.position = std::ftell(data.file.get());
  ResetCurrentController();
  return out;
}

TEST(FlashDataFile, BareAndWrappedImagesPassAndLeaveTheFileAtTheImage) {
  Bytes image = MakeImage(5000, "TXC5110");
  Checked bare = CheckFile("bare.bin", image, "TXC5110");
  EXPECT_TRUE(bare.ok);
  EXPECT_EQ(bare.image.offset, 0u);
  EXPECT_EQ(bare.image.length, 5000u);
  EXPECT_EQ(bare.position, 0);

  for (uint32_t gap : {0u, 40u}) {
    Checked wrapped = CheckFile("wrapped.bin", Wrap(image, gap), "TXC5110", 2048);
    EXPECT_TRUE(wrapped.ok) << gap;
    EXPECT_EQ(wrapped.image.offset, 112u + gap);
    EXPECT_EQ(wrapped.image.length, 5000u);
    EXPECT_EQ(wrapped.position, static_cast<long>(112 + gap));
  }
}

TEST(FlashDataFile, BrokenWrappersAreTakenAsBare) {
  Bytes image = MakeImage(1000, "TXC5110");
  struct Case {
    const char* name;
    void (*spoil)(Bytes&);
  };
  const Case cases[] = {
      {"one byte more", [](Bytes& f) { f.push_back(0); }},
      {"trailer", [](Bytes& f) { f.back() = 'O'; }},
      {"ident runs on", [](Bytes& f) { f[8] = 'X'; }},
      {"version", [](Bytes& f) { f[9] = 2; }},
      {"header size", [](Bytes& f) { f[13] = 111; }},
      {"file kind", [](Bytes& f) { f[17] = 3; }},
      {"length", [](Bytes& f) { f[22] += 1; }},
  };
  for (const Case& c : cases) {
    Bytes file = Wrap(image);
    c.spoil(file);
    Checked r = CheckFile("spoilt.bin", file, "TXC5110");
    EXPECT_EQ(r.image.offset, 0u) << c.name;
    EXPECT_EQ(r.image.length, file.size()) << c.name;
    EXPECT_FALSE(r.ok) << c.name;
    EXPECT_EQ(r.status, 0x20C) << c.name << ": the wrapper text is no image header";
  }
}

TEST(FlashDataFile, SizeLimitHeaderAndLength) {
  // TXC5110 takes 96 KB exactly.
  EXPECT_TRUE(CheckFile("max.bin", MakeImage(98304, "TXC5110"), "TXC5110").ok);
  Checked over = CheckFile("over.bin", MakeImage(98305, "TXC5110"), "TXC5110");
  EXPECT_EQ(over.status, 0x210);

  Checked tiny = CheckFile("tiny.bin", Bytes(100, 0), "TXC5110");
  EXPECT_EQ(tiny.status, 0x208);
  Checked empty = CheckFile("empty.bin", Bytes{}, "TXC5110");
  EXPECT_EQ(empty.status, 0x208);
  // A wrapped image shorter than its header must not borrow the trailer.
  Checked shortWrapped = CheckFile("short-wrapped.bin", Wrap(MakeImage(124, "TXC5110")), "TXC5110");
  EXPECT_FALSE(shortWrapped.ok);
  EXPECT_EQ(shortWrapped.status, 0x208);

  Bytes kind3 = MakeImage(1000, "TXC5110", 3);
  EXPECT_EQ(CheckFile("kind3.bin", kind3, "TXC5110").status, 0x20C);
  Bytes magic = MakeImage(1000, "TXC5110");
  magic[0] = 'Z';
  EXPECT_EQ(CheckFile("magic.bin", magic, "TXC5110").status, 0x20C);
}

TEST(FlashDataFile, ChecksumIsReadWholeInAnyChunkSize) {
  Bytes image = MakeImage(3000, "TXC6260");
  for (uint32_t chunk : {1u, 64u, 256u, 2048u, 0u, 4096u}) {
    Checked good = CheckFile("sum.bin", image, "TXC6260", chunk);
    EXPECT_TRUE(good.ok) << chunk;
    EXPECT_EQ(good.position, 0) << chunk;
  }
  Bytes bad = image;
  bad[2999] += 1;
  EXPECT_EQ(CheckFile("sum1.bin", bad, "TXC6260").status, 0x212);
  // A byte in the middle counts as much as the last.
  bad = image;
  bad[1500] += 0x80;
  bad[1600] += 0x80;
  EXPECT_TRUE(CheckFile("sum2.bin", bad, "TXC6260").ok);
  // 3000 bytes are 46 whole runs of 64 and a tail of 56: a change anywhere is
  // seen, and a change in a run is undone by one in the tail.
  bad = image;
  bad[100] += 1;
  EXPECT_EQ(CheckFile("sum3.bin", bad, "TXC6260").status, 0x212);
  bad[2990] -= 1;
  EXPECT_TRUE(CheckFile("sum4.bin", bad, "TXC6260").ok);
}

TEST(FlashDataFile, ImageEndingBeforeItsLengthIsAnUnexpectedEnd) {
  // LocateImage never yields such a location for a file that stays put; a
  // location past the end stands in for a file cut short under our feet.
  ResetCurrentController();
  uint32_t max = 0;
  ASSERT_TRUE(LookUpControllerModel("TXC5110", &max));
  std::string path = WriteTemp("eof.bin", MakeImage(1000, "TXC5110"));
  FlashDataFile data;
  ASSERT_TRUE(OpenFlashDataFile(path.c_str(), data));
  EXPECT_FALSE(CheckImage(data.file.get(), {0, 1200}, max, 256));
  EXPECT_EQ(LastStatusCode(), 0x209);
  ResetCurrentController();
}

TEST(FlashDataFile, ModelFit) {
  struct Case {
    const char* imageModel;
    const char* controller;
    bool fits;
  };
  const Case cases[] = {
      {"TXC5110", "TXC5150", true},  {"TXC6260", "TXC5110", false}, {"TXC7350", "TXC7320", false},
      {"TXC7320", "TXC7320", true},  {"TXC7350", "TXC7350", true},  {"TXC7390", "TXC7390", true},
      {"TXC7390", "TXC7380", false}, {"TXC7380", "TXC7380", true},  {"TXM9410", "TXM9410", true},
      {"TXM9410", "TXC5110", false}, {"TXC6299", "TXC6260", true},  {"TXC62", "TXC6260", true},
      {"TXC6", "TXC6260", false},    {"TXC6", "TXC5130", true},     {"anything", "TXC5130", true},
      {"", "TXC5150", true},         {"", "TXC7350", false},        {"TXC5110", "TXM9410", false},
      {"TXC739", "TXC7390", false},
  };
  for (const Case& c : cases) {
    Checked r = CheckFile("fit.bin", MakeImage(600, c.imageModel), c.controller);
    EXPECT_EQ(bool(r.ok), c.fits) << c.imageModel << " on " << c.controller;
    if (!c.fits) {
      EXPECT_EQ(r.status, 0x213) << c.imageModel << " on " << c.controller;
    }
  }
}

TEST(FlashDataFile, OpenFailures) {
  FlashDataFile data;
  std::string missing = (std::filesystem::temp_directory_path() / "pendrel-no-such-file.bin").string();
  EXPECT_FALSE(OpenFlashDataFile(missing.c_str(), data));
  EXPECT_EQ(LastStatusCode(), 0x20A);
  EXPECT_FALSE(data.file);
  EXPECT_FALSE(OpenFlashDataFile(nullptr, data));
  EXPECT_EQ(LastStatusCode(), 0x20A);

  // A directory opens for reading on POSIX but has no file length.
  std::string dir = std::filesystem::temp_directory_path().string();
  EXPECT_FALSE(OpenFlashDataFile(dir.c_str(), data));
  EXPECT_TRUE(LastStatusCode() == 0x20B || LastStatusCode() == 0x20A) << LastStatusCode();
  EXPECT_FALSE(data.file);
}

TEST(FlashDataFile, HugeBareFileIsTooBigForEveryModel) {
  // A sparse file past 4 GB where the file system allows it.
  std::string path = WriteTemp("huge.bin", MakeImage(200, "TXC7390"));
  std::error_code error;
  std::filesystem::resize_file(path, (uint64_t{1} << 32) + 200, error);
  if (error) GTEST_SKIP() << "no sparse files here: " << error.message();
  FlashDataFile data;
  ASSERT_TRUE(OpenFlashDataFile(path.c_str(), data));
  ImageLocation image = LocateImage(data.file.get(), data.size);
  EXPECT_EQ(image.length, UINT32_MAX) << "not the 200 bytes the 32-bit length would say";
  EXPECT_FALSE(CheckImage(data.file.get(), image, ModelTable[1].maxImageSize, 2048));
  EXPECT_EQ(LastStatusCode(), 0x210);
  data = FlashDataFile{};
  std::filesystem::remove(path);
}

}  // namespace
