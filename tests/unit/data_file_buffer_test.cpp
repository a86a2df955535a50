// The data file reads through a runtime buffer that its closer owns: the
// buffer must travel with the file when the record is moved or replaced, and
// reads across many buffer refills and seeks must give the file's bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <utility>

#include "flash/data_file.h"
#include "unit/flash_test_images.h"

namespace {

using test_images::Bytes;

Bytes ReadAll(std::FILE* file, size_t length) {
  Bytes out(length);
  size_t done = 0;
  while (done < length) {
    size_t n = std::fread(out.data() + done, 1, std::min<size_t>(kMaxChunkSize, length - done), file);
    if (n == 0) break;
    done += n;
  }
  out.resize(done);
  return out;
}

TEST(DataFileBuffer, MovedAndReplacedRecordsReadTheirOwnFile) {
  // Several buffers long, and not a multiple of the block or the buffer.
  Bytes first = test_images::MakeImage(3 * kFileBufferSize + 777, "TXC7390");
  Bytes second = test_images::MakeImage(kFileBufferSize / 2 + 5, "TXC7350");
  std::string firstPath = test_images::WriteTemp("buffer-first.bin", first);
  std::string secondPath = test_images::WriteTemp("buffer-second.bin", second);

  FlashDataFile opened;
  ASSERT_EQ(OpenFlashDataFile(firstPath.c_str(), opened), 1);
  ASSERT_NE(opened.file.get_deleter().buffer, nullptr);
  ASSERT_EQ(ReadAll(opened.file.get(), 1000), Bytes(first.begin(), first.begin() + 1000));

  FlashDataFile moved = std::move(opened);  // the stream keeps reading where it was
  Bytes rest = ReadAll(moved.file.get(), first.size());
  EXPECT_EQ(rest, Bytes(first.begin() + 1000, first.end()));
  ASSERT_TRUE(SeekTo(moved.file.get(), 5));
  EXPECT_EQ(ReadAll(moved.file.get(), 10), Bytes(first.begin() + 5, first.begin() + 15));

  // Opening into a record that holds an open file closes that file first.
  ASSERT_EQ(OpenFlashDataFile(secondPath.c_str(), moved), 1);
  EXPECT_EQ(moved.size, second.size());
  EXPECT_EQ(ReadAll(moved.file.get(), second.size()), second);
}

}  // namespace
