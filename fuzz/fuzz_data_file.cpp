// The flash data file: LocateImage and CheckImage over arbitrary file bytes,
// against every model.
//
// Input: model (1 byte: a row of the model table, or none: the state before
// any model is known), chunk size (1 byte), size limit (1 byte: the model's,
// or a small one), then the file's bytes.
//
// Beyond crash-freedom: the image location lies inside the file; a pass
// means every check really holds over the file's bytes (recomputed here)
// and leaves the file at the image; a refusal records one of the check's
// statuses, the one its first failing step names where that is decidable
// without the model table.
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstring>

#include "base/status.h"
#include "flash/controller.h"
#include "flash/data_file.h"
#include "fuzz_support.h"

namespace {

using fuzz::Bytes;

constexpr std::array<uint32_t, 8> kChunkSizes = {1, 7, 64, 256, 512, 1000, 2048, 0};

// The file as the data file code sees it: a real file, so that seeks past
// the end behave as on disk.
std::FILE* OpenAsFile(const Bytes& bytes) {
  int fd = memfd_create("pendrel-fuzz-data", 0);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
  FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);
  std::FILE* file = fdopen(fd, "rb");
  FUZZ_CHECK(file != nullptr);
  return file;
}

StatusCode ExpectedWithoutFit(const Bytes& file, ImageLocation image, uint32_t max, bool* decided) {
  *decided = true;
  uint64_t end = uint64_t{image.offset} + image.length;
  if (image.length > max) return 0x210;
  if (image.length < kImageHeaderSize || uint64_t{image.offset} + kImageHeaderSize > file.size())
    return 0x208;
  const uint8_t* header = file.data() + image.offset;
  if (std::memcmp(header, "zarn", 4) != 0 || header[6] != 4) return 0x20C;
  // The model fit comes next; whether it holds is the table's business.
  *decided = false;
  if (end > file.size()) return 0x209;
  uint8_t sum = 0;
  for (uint64_t i = image.offset; i < end; ++i) sum = static_cast<uint8_t>(sum + file[i]);
  return sum == 0 ? 0 : 0x212;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in{{data, size}};
  uint8_t modelPick = in.Byte();
  uint32_t chunk = kChunkSizes[in.Byte() % kChunkSizes.size()];
  uint8_t limitPick = in.Byte();
  Bytes file = in.Rest();

  fuzz::ResetProcessState();
  uint32_t max = 0x18000;  // TXC5110's, for the state before any model
  if (modelPick % (ModelTable.size() + 1) < ModelTable.size())
    FUZZ_CHECK(LookUpControllerModel(ModelTable[modelPick % (ModelTable.size() + 1)].name, &max));
  if (limitPick >= 0x80) max = static_cast<uint32_t>(limitPick - 0x80) * 16;

  std::FILE* f = OpenAsFile(file);
  ImageLocation image = LocateImage(f, file.size());
  FUZZ_CHECK(uint64_t{image.offset} + image.length <= file.size());
  if (image.offset != 0 || image.length != file.size()) {
    // Wrapped: header, image, trailer, nothing else.
    FUZZ_CHECK(image.offset >= kWrapperHeaderSize);
    FUZZ_CHECK(uint64_t{image.offset} + image.length + kWrapperTrailerSize == file.size());
    FUZZ_CHECK(std::memcmp(file.data(), "mifo-ovx", 9) == 0);
    FUZZ_CHECK(std::memcmp(file.data() + image.offset + image.length, "mifo", 4) == 0);
  }
  FUZZ_CHECK(std::ftell(f) == static_cast<long>(image.offset));

  SetLastStatus(0);
  int ok = CheckImage(f, image, max, chunk);
  StatusCode status = LastStatusCode();
  bool decided = false;
  StatusCode expected = ExpectedWithoutFit(file, image, max, &decided);
  if (ok) {
    FUZZ_CHECK(status == 0);
    FUZZ_CHECK(!decided && expected == 0);
    FUZZ_CHECK(std::ftell(f) == static_cast<long>(image.offset));
  } else if (decided) {
    FUZZ_CHECK(status == expected);
  } else {
    // Past the header only the fit, the length and the sum can refuse.
    FUZZ_CHECK(status == 0x213 || status == expected);
  }
  std::fclose(f);
  return 0;
}
