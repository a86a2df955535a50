// Inputs the fuzz targets (fuzz/) found faults with, kept as cases so the
// faults stay fixed on every system we build for.
#include <gtest/gtest.h>

#include <vector>

#include "base/status.h"
#include "flash/controller.h"
#include "flash/data_file.h"
#include "flash_test_images.h"

namespace {

using test_images::Bytes;

// fuzz_data_file: a wrapper whose offset 0xFFFFFFF0 and length 0x148 add up
// to the file size less the trailer (312) only modulo 2^32. Taken as
// wrapped, the image lay 4 GB past the end of the file: Linux then failed
// the check with "Failed to read Flash data from file" while Windows, unable
// to seek there, took the file as bare. It is no wrapped file: bare, and
// then not an image.
TEST(FuzzRegression, WrapperWhoseFieldsOnlyAddUpModulo32BitsIsBare) {
  Bytes file = {
      'm',  'i',  'f',  'o',  '-', 'o', 'v', 'x', 0x00,  // ident
      0x01, 0x00, 0x00, 0x00,                            // version 1
      0x70, 0x00, 0x00, 0x00,                            // header size 112
      0x04,                                              // file kind 4
      0xF0, 0xFF, 0xFF, 0xFF,                            // data offset 0xFFFFFFF0
      0x48, 0x01, 0x00, 0x00,                            // data length 0x148
  };
  file.resize(312, 0x00);
  file.insert(file.end(), {'m', 'i', 'f', 'o'});  // the trailer where 32-bit sums put it

  ResetCurrentController();
  uint32_t max = 0;
  ASSERT_TRUE(LookUpControllerModel("TXC5110", &max));
  FlashDataFile data;
  std::string path = test_images::WriteTemp("fuzz-wrap-modulo.bin", file);
  ASSERT_TRUE(OpenFlashDataFile(path.c_str(), data));

  ImageLocation image = LocateImage(data.file.get(), data.size);
  EXPECT_EQ(image.offset, 0u);
  EXPECT_EQ(image.length, 316u);
  SetLastStatus(0);
  EXPECT_FALSE(CheckImage(data.file.get(), image, max, 256));
  EXPECT_EQ(LastStatusCode(), 0x20C);
  ResetCurrentController();
}

}  // namespace
