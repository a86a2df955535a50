// What the station makes sure of before the first unit starts: a private
// copy of the image with its hash and data length, and a pendrel of the
// station's own version.
#pragma once

#include <cstdint>
#include <string>

struct StationImage {
  std::string copy;         // what every pendrel is given
  std::string sha256;       // of the copy's bytes
  uint64_t fileSize = 0;    // the copy's length
  uint64_t dataLength = 0;  // what a complete run writes: the image without its wrapper
};

// Copies and hashes the image (see MakeImageCopy) and measures its data as
// pendrel will. False with a one-line reason in *error.
bool PrepareImage(const std::string& image, StationImage* out, std::string* error);

// Runs pendrel once with no arguments: it prints its banner and usage text
// and ends, touching no link. False with a one-line reason in *error when no
// banner came within the bound or it names another version than `expected`.
bool CheckPendrelVersion(const std::string& pendrel, const std::string& expected, std::string* error);
