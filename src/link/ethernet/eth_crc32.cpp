// CRC-32 of IEEE 802.3, one table look-up per byte.
#include "link/ethernet/eth_digest.h"

namespace {

constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kTable = MakeTable();

}  // namespace

uint32_t Crc32Update(uint32_t crc, std::span<const uint8_t> bytes) {
  for (uint8_t b : bytes) crc = kTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return crc;
}

uint32_t Crc32(std::span<const uint8_t> bytes) { return Crc32Final(Crc32Update(Crc32Init(), bytes)); }
