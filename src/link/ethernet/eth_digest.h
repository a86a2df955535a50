// The two digests of the login answers: MD5 (RFC 1321) and the CRC-32 of
// IEEE 802.3 (reflected polynomial 0xEDB88320, initial value 0xFFFFFFFF,
// result complemented). The simulator checks the answers with the same code.
#pragma once

#include <array>
#include <cstdint>
#include <span>

using Md5Value = std::array<uint8_t, 16>;

struct Md5Context {
  std::array<uint32_t, 4> state;
  uint64_t length;  // bytes so far
  std::array<uint8_t, 64> pending;
};

void Md5Init(Md5Context& context);
void Md5Update(Md5Context& context, std::span<const uint8_t> bytes);
Md5Value Md5Final(Md5Context& context);
Md5Value Md5(std::span<const uint8_t> bytes);

// `crc` carries a running value between calls: start with Crc32Init(), feed
// with Crc32Update, complete with Crc32Final.
inline constexpr uint32_t Crc32Init() { return 0xFFFFFFFFu; }
uint32_t Crc32Update(uint32_t crc, std::span<const uint8_t> bytes);
inline constexpr uint32_t Crc32Final(uint32_t crc) { return ~crc; }
uint32_t Crc32(std::span<const uint8_t> bytes);
