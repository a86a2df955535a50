#include "flash/data_file.h"

#include <array>
#include <vector>
#include <climits>
#include <cstring>

#include "base/status.h"
#include "flash/controller.h"
#include "flash/file_length.h"

namespace {

uint32_t ReadLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// Wrapper header fields, packed.
constexpr size_t kIdentOffset = 0;
constexpr size_t kVersionOffset = 9;
constexpr size_t kHeaderSizeOffset = 13;
constexpr size_t kFileKindOffset = 17;
constexpr size_t kDataOffsetOffset = 18;
constexpr size_t kDataLengthOffset = 22;

// Image header fields.
constexpr size_t kMagicOffset = 0;
constexpr size_t kImageKindOffset = 6;
constexpr size_t kModelNameOffset = 111;
constexpr size_t kModelNameWidth = 7;

bool IsWrapped(std::FILE* file, uint64_t fileSize, ImageLocation& image) {
  std::array<uint8_t, kWrapperHeaderSize> header{};
  if (std::fread(header.data(), 1, header.size(), file) != header.size()) return false;
  // The identification must end right after "mifo-ovx": its terminator is
  // compared too.
  if (std::memcmp(&header[kIdentOffset], "mifo-ovx", sizeof "mifo-ovx") != 0) return false;
  if (ReadLe32(&header[kVersionOffset]) != 1) return false;
  if (ReadLe32(&header[kHeaderSizeOffset]) != kWrapperHeaderSize) return false;
  if (header[kFileKindOffset] != 4) return false;
  uint32_t dataOffset = ReadLe32(&header[kDataOffsetOffset]);
  uint32_t dataLength = ReadLe32(&header[kDataLengthOffset]);
  // Summed without wrapping: an offset and length that only add up to the
  // file size modulo 2^32 would place the image outside the file.
  uint64_t trailerAt = uint64_t{dataOffset} + dataLength;
  if (trailerAt + kWrapperTrailerSize != fileSize) return false;
  std::array<char, kWrapperTrailerSize> trailer{};
  if (!SeekTo(file, trailerAt)) return false;
  if (std::fread(trailer.data(), 1, trailer.size(), file) != trailer.size()) return false;
  if (std::memcmp(trailer.data(), "mifo", trailer.size()) != 0) return false;
  image = {dataOffset, dataLength};
  return true;
}

enum class FitRule { ChipCode, Family };

struct ModelFit {
  const char* prefix;
  size_t prefixLength;
  FitRule rule;
  uint32_t value;
};

// Tried in order; a field matching none fits family 1.
constexpr std::array<ModelFit, 6> kModelFits = {{
    {"TXM9410", 7, FitRule::ChipCode, 55},
    {"TXC7390", 7, FitRule::ChipCode, 39},
    {"TXC7380", 7, FitRule::ChipCode, 38},
    {"TXC7350", 7, FitRule::ChipCode, 35},
    {"TXC7320", 7, FitRule::ChipCode, 32},
    {"TXC62", 5, FitRule::Family, 2},
}};

bool Satisfies(FitRule rule, uint32_t value) {
  return rule == FitRule::ChipCode ? CurrentController.chipCode == value : CurrentController.family == value;
}

bool ImageFitsController(const uint8_t* modelField) {
  std::array<char, kModelNameWidth + 1> name{};
  std::memcpy(name.data(), modelField, kModelNameWidth);
  for (const ModelFit& fit : kModelFits)
    if (std::strncmp(name.data(), fit.prefix, fit.prefixLength) == 0) return Satisfies(fit.rule, fit.value);
  return Satisfies(FitRule::Family, 1);
}

// Reads exactly `count` bytes: kStatusDataFileReadFailed on a read error,
// kStatusDataFileUnexpectedEnd on a short read.
int ReadChunk(std::FILE* file, uint8_t* buffer, size_t count) {
  size_t got = std::fread(buffer, 1, count, file);
  if (got == count) return 1;
  return SetLastStatus(std::ferror(file) ? kStatusDataFileReadFailed : kStatusDataFileUnexpectedEnd);
}

// The bytes' sum modulo 256. Kept in 64 separate lanes, so that the adds do
// not wait on one another and the compiler can do them 16 or 32 at a time;
// the lanes are folded at the end (the order of a modular sum is free). The
// plain byte-by-byte loop took about twice the time of reading the file.
uint8_t ByteSum(const uint8_t* data, size_t count) {
  constexpr size_t kLanes = 64;
  uint8_t lanes[kLanes] = {};
  size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    for (size_t k = 0; k < kLanes; ++k) lanes[k] = static_cast<uint8_t>(lanes[k] + data[i + k]);
  }
  uint8_t sum = 0;
  for (size_t k = 0; k < kLanes; ++k) sum = static_cast<uint8_t>(sum + lanes[k]);
  for (; i < count; ++i) sum = static_cast<uint8_t>(sum + data[i]);
  return sum;
}

}  // namespace

bool SeekTo(std::FILE* file, uint64_t position) {
  // long is 32 bits on Windows; every image the models accept lies far below.
  if (position > static_cast<uint64_t>(LONG_MAX)) return false;
  return std::fseek(file, static_cast<long>(position), SEEK_SET) == 0;
}

int OpenFlashDataFile(const char* path, FlashDataFile& data) {
  data = FlashDataFile{};
  if (path == nullptr) return SetLastStatus(kStatusDataFileOpenFailed);
  FilePtr file(std::fopen(path, "rb"));
  if (!file) return SetLastStatus(kStatusDataFileOpenFailed);
  // The image is read twice in blocks of at most 2 KB; the runtime's 4 KB
  // buffer would make that one system call per two blocks, which costs
  // several times the copying itself. A fixed size, whatever the image.
  // (glibc ignores the size unless it is given the buffer.)
  file.get_deleter().buffer = std::make_unique<char[]>(kFileBufferSize);
  std::setvbuf(file.get(), file.get_deleter().buffer.get(), _IOFBF, kFileBufferSize);
  // Measured on the stream, not by name: on Windows a name outside ASCII
  // would be converted once more, with another code page than fopen's.
  uint64_t size = 0;
  if (!RegularFileLength(file.get(), &size)) return SetLastStatus(kStatusDataFileSizeUnknown);
  data.file = std::move(file);
  data.size = size;
  return 1;
}

ImageLocation LocateImage(std::FILE* file, uint64_t fileSize) {
  ImageLocation image;
  if (SeekTo(file, 0) && IsWrapped(file, fileSize, image) && SeekTo(file, image.offset)) return image;
  image.offset = 0;
  image.length = fileSize > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(fileSize);
  SeekTo(file, 0);
  return image;
}

int CheckImage(std::FILE* file, ImageLocation image, uint32_t maxImageSize, uint32_t chunkSize) {
  if (image.length > maxImageSize) return SetLastStatus(kStatusImageTooBig);

  std::array<uint8_t, kImageHeaderSize> header{};
  if (!SeekTo(file, image.offset)) return SetLastStatus(kStatusDataFileReadFailed);
  // An image shorter than its own header would read the trailer as header.
  if (image.length < kImageHeaderSize) return SetLastStatus(kStatusDataFileReadFailed);
  if (std::fread(header.data(), 1, header.size(), file) != header.size())
    return SetLastStatus(kStatusDataFileReadFailed);

  if (std::memcmp(&header[kMagicOffset], "zarn", 4) != 0 || header[kImageKindOffset] != 4)
    return SetLastStatus(kStatusNotFlashDataFile);
  if (!ImageFitsController(&header[kModelNameOffset])) return SetLastStatus(kStatusImageForOtherModel);

  if (chunkSize == 0 || chunkSize > kMaxChunkSize) chunkSize = kMaxChunkSize;
  if (!SeekTo(file, image.offset)) return SetLastStatus(kStatusDataFileReadFailed);
  // The sum is taken over whole runs of blocks, 128 KB at a time: a request
  // at least as large as the runtime's buffer goes from the file straight
  // into ours, where block-sized requests would copy every byte twice, and
  // reads of that size cost the system least per byte. A short or failed
  // read ends the pass with the same status as block by block.
  constexpr size_t kSumReadSize = 128 * 1024;
  static_assert(kSumReadSize % kMaxChunkSize == 0 && kSumReadSize >= kFileBufferSize);
  const uint32_t piece = static_cast<uint32_t>(kSumReadSize / chunkSize) * chunkSize;
  std::vector<uint8_t> chunk(piece);
  uint8_t sum = 0;
  for (uint32_t remaining = image.length; remaining != 0;) {
    uint32_t n = remaining < piece ? remaining : piece;
    if (!ReadChunk(file, chunk.data(), n)) return 0;
    sum = static_cast<uint8_t>(sum + ByteSum(chunk.data(), n));
    remaining -= n;
  }
  if (sum != 0) return SetLastStatus(kStatusDataFileBadChecksum);

  if (!SeekTo(file, image.offset)) return SetLastStatus(kStatusDataFileReadFailed);
  return 1;
}
