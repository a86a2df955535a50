// The flash data file: a bare image, or an image wrapped in a 112-byte
// "mifo-ovx" header and a "mifo" trailer; and the checks an image must pass
// before anything is written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

// Holds the runtime's buffer of the file it closes: unique_ptr calls the
// closer before it lets go of the closer, so the buffer outlives the stream.
struct FileCloser {
  std::unique_ptr<char[]> buffer;
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

struct FlashDataFile {
  FilePtr file;
  uint64_t size = 0;
};

struct ImageLocation {
  uint32_t offset = 0;
  uint32_t length = 0;
};

inline constexpr uint32_t kWrapperHeaderSize = 112;
inline constexpr uint32_t kWrapperTrailerSize = 4;
inline constexpr uint32_t kImageHeaderSize = 128;
inline constexpr uint32_t kMaxChunkSize = 2048;
inline constexpr size_t kFileBufferSize = 32 * 1024;  // the runtime's buffer for the data file

// Opens `path` read-only, binary. Failure: kStatusDataFileOpenFailed (cannot
// open) or kStatusDataFileSizeUnknown (no length, e.g. not a regular file);
// nothing stays open.
int OpenFlashDataFile(const char* path, FlashDataFile& data);

// Never fails: anything that is not a valid wrapped file is bare. Leaves the
// file at the image's first byte. A bare file longer than 32 bits can count
// gets the largest length, which no model accepts.
ImageLocation LocateImage(std::FILE* file, uint64_t fileSize);

// Size limit, image header, model fit against the current controller and the
// byte-sum checksum, read in chunks of chunkSize (1 to 2048). Statuses
// kStatusImageTooBig, kStatusDataFileReadFailed, kStatusNotFlashDataFile,
// kStatusImageForOtherModel, kStatusDataFileUnexpectedEnd,
// kStatusDataFileBadChecksum. On success the file is at the image's first byte.
int CheckImage(std::FILE* file, ImageLocation image, uint32_t maxImageSize, uint32_t chunkSize);

// Moves to an absolute position; false when the C runtime cannot reach it.
bool SeekTo(std::FILE* file, uint64_t position);
