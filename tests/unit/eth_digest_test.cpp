// The login digests against their published test vectors.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "link/ethernet/eth_digest.h"

namespace {

std::span<const uint8_t> Bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

std::string Hex(const Md5Value& digest) {
  std::string out;
  char two[3];
  for (uint8_t b : digest) {
    std::snprintf(two, sizeof two, "%02x", b);
    out += two;
  }
  return out;
}

TEST(Md5, Rfc1321TestSuite) {
  struct Vector {
    const char* input;
    const char* digest;
  };
  const Vector vectors[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890"
       "123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Vector& v : vectors) EXPECT_EQ(Hex(Md5(Bytes(v.input))), v.digest) << v.input;
}

TEST(Md5, PiecewiseUpdatesMatchOneCall) {
  // Splits across the 64-byte block edge and the 56-byte padding edge.
  std::string text(200, '\0');
  for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 37 + 11);
  for (size_t length : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 200u}) {
    std::string_view whole(text.data(), length);
    for (size_t cut = 0; cut <= length; cut += 7) {
      Md5Context context;
      Md5Init(context);
      Md5Update(context, Bytes(whole.substr(0, cut)));
      Md5Update(context, Bytes(whole.substr(cut)));
      EXPECT_EQ(Md5Final(context), Md5(Bytes(whole))) << length << " cut at " << cut;
    }
  }
}

TEST(Crc32, CheckValueAndRunningForm) {
  EXPECT_EQ(Crc32(Bytes("123456789")), 0xCBF43926u);
  EXPECT_EQ(Crc32(Bytes("")), 0u);
  EXPECT_EQ(Crc32(Bytes("The quick brown fox jumps over the lazy dog")), 0x414FA339u);
  uint32_t running = Crc32Update(Crc32Init(), Bytes("1234"));
  running = Crc32Update(running, Bytes("56789"));
  EXPECT_EQ(Crc32Final(running), 0xCBF43926u);
}

}  // namespace
