// SHA-256 (FIPS 180-4): the image's fingerprint in every unit's record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

struct Sha256 {
  std::array<uint32_t, 8> state{};
  std::array<uint8_t, 64> block{};
  size_t used = 0;
  uint64_t length = 0;  // bytes hashed so far
};

void Sha256Init(Sha256& s);
void Sha256Update(Sha256& s, std::span<const uint8_t> data);
std::array<uint8_t, 32> Sha256Final(Sha256& s);

std::string Sha256Hex(std::span<const uint8_t> data);
// The file's digest in lower-case hex and its size; false when it cannot be read.
bool Sha256OfFile(const std::string& path, std::string* hex, uint64_t* size);
