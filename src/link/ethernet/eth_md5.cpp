// MD5 as RFC 1321 gives it.
#include <algorithm>
#include <cstring>

#include "link/ethernet/eth_digest.h"

namespace {

// Per-step shift amounts, four per round.
constexpr uint32_t kShift[64] = {
    7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 7,  12, 17, 22, 5,  9,  14, 20, 5,  9,
    14, 20, 5,  9,  14, 20, 5,  9,  14, 20, 4,  11, 16, 23, 4,  11, 16, 23, 4,  11, 16, 23,
    4,  11, 16, 23, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21, 6,  10, 15, 21,
};

// floor(abs(sin(i + 1)) * 2^32).
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

uint32_t RotateLeft(uint32_t x, uint32_t n) { return (x << n) | (x >> (32 - n)); }

void Transform(std::array<uint32_t, 4>& state, const uint8_t* block) {
  uint32_t m[16];
  for (int i = 0; i < 16; ++i) {
    m[i] = static_cast<uint32_t>(block[i * 4]) | static_cast<uint32_t>(block[i * 4 + 1]) << 8 |
           static_cast<uint32_t>(block[i * 4 + 2]) << 16 | static_cast<uint32_t>(block[i * 4 + 3]) << 24;
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (uint32_t i = 0; i < 64; ++i) {
    uint32_t f;
    uint32_t g;
    switch (i / 16) {
      case 0:
        f = (b & c) | (~b & d);
        g = i;
        break;
      case 1:
        f = (d & b) | (~d & c);
        g = (5 * i + 1) % 16;
        break;
      case 2:
        f = b ^ c ^ d;
        g = (3 * i + 5) % 16;
        break;
      default:
        f = c ^ (b | ~d);
        g = (7 * i) % 16;
        break;
    }
    uint32_t next = b + RotateLeft(a + f + kSine[i] + m[g], kShift[i]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

void Md5Init(Md5Context& context) {
  context.state = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  context.length = 0;
  context.pending.fill(0);
}

void Md5Update(Md5Context& context, std::span<const uint8_t> bytes) {
  size_t used = static_cast<size_t>(context.length % 64);
  context.length += bytes.size();
  size_t offset = 0;
  if (used != 0) {
    size_t take = std::min(bytes.size(), 64 - used);
    std::memcpy(context.pending.data() + used, bytes.data(), take);
    offset = take;
    if (used + take < 64) return;
    Transform(context.state, context.pending.data());
  }
  for (; bytes.size() - offset >= 64; offset += 64) Transform(context.state, bytes.data() + offset);
  if (offset < bytes.size())
    std::memcpy(context.pending.data(), bytes.data() + offset, bytes.size() - offset);
}

Md5Value Md5Final(Md5Context& context) {
  uint64_t bits = context.length * 8;
  uint8_t padding[72] = {0x80};
  size_t used = static_cast<size_t>(context.length % 64);
  size_t padLength = used < 56 ? 56 - used : 120 - used;
  uint8_t lengthBytes[8];
  for (int i = 0; i < 8; ++i) lengthBytes[i] = static_cast<uint8_t>(bits >> (8 * i));
  Md5Update(context, std::span<const uint8_t>(padding, padLength));
  Md5Update(context, lengthBytes);
  Md5Value digest;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) digest[i * 4 + j] = static_cast<uint8_t>(context.state[i] >> (8 * j));
  return digest;
}

Md5Value Md5(std::span<const uint8_t> bytes) {
  Md5Context context;
  Md5Init(context);
  Md5Update(context, bytes);
  return Md5Final(context);
}
