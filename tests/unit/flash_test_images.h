// Builders for flash data files in the unit tests: images with a valid
// header and checksum, the wrapper around them, and temporary files.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace test_images {

using Bytes = std::vector<uint8_t>;

// An image of `length` bytes (at least 128) for `model`: "zarn", kind 4, the
// model name at 111, a byte pattern, and a last byte that makes the sum 0.
inline Bytes MakeImage(size_t length, const char* model, uint8_t kind = 4) {
  Bytes image(length);
  for (size_t i = 0; i < length; ++i) image[i] = static_cast<uint8_t>(i * 31 + (i >> 8) + 0x5A);
  if (length >= 4) std::memcpy(image.data(), "zarn", 4);
  if (length > 6) image[6] = kind;
  if (length >= 118) {
    std::memset(&image[111], 0, 7);
    std::memcpy(&image[111], model, std::min<size_t>(std::strlen(model), 7));
  }
  uint8_t sum = 0;
  for (size_t i = 0; i + 1 < length; ++i) sum = static_cast<uint8_t>(sum + image[i]);
  if (length > 0) image[length - 1] = static_cast<uint8_t>(-sum);
  return image;
}

inline void PutLe32(Bytes& b, size_t at, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

// A wrapped file: 112-byte header, `gap` filler bytes, the image, "mifo".
inline Bytes Wrap(const Bytes& image, uint32_t gap = 0) {
  const size_t imageAt = 112 + size_t{gap};
  Bytes file(imageAt + image.size() + 4, 0xEE);
  std::memcpy(file.data(), "mifo-ovx", 9);
  PutLe32(file, 9, 1);
  PutLe32(file, 13, 112);
  file[17] = 4;
  PutLe32(file, 18, 112 + gap);
  PutLe32(file, 22, static_cast<uint32_t>(image.size()));
  std::copy(image.begin(), image.end(), file.begin() + static_cast<std::ptrdiff_t>(imageAt));
  std::memcpy(file.data() + imageAt + image.size(), "mifo", 4);
  return file;
}

// Writes `bytes` to a fresh file in the test temp directory; returns its path.
inline std::string WriteTemp(const std::string& name, const Bytes& bytes) {
  std::filesystem::path dir = std::filesystem::temp_directory_path() / "pendrel-flash-tests";
  std::filesystem::create_directories(dir);
  std::string path = (dir / name).string();
  std::FILE* f = std::fopen(path.c_str(), "wb");
  EXPECT_NE(f, nullptr) << path;
  if (f) {
    if (!bytes.empty()) {
      EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    }
    std::fclose(f);
  }
  return path;
}

}  // namespace test_images
