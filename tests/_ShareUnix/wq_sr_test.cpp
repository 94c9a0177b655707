#include "wq_sr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string Text(const unsigned char *p, size_t n) { return std::string(reinterpret_cast<const char *>(p), n); }

TEST(ProtocolHeader, CreateAndSetLength) {
  unsigned char h[48 + 4];
  memset(h, 0, sizeof h);
  h[48] = 0xAB;
  EXPECT_EQ(CrProtocolHeader(h), 48);
  EXPECT_EQ(Text(h, 48), "00000048WQ8:global001NAT" + std::string(24, ' '));
  EXPECT_EQ(h[48], 0xAB);  // nothing behind the 48 bytes
  unsigned char before[48];
  memcpy(before, h, 48);
  // Only the digits change; a negative length is a sign and seven digits;
  // a length that eight digits cannot carry is not written.
  for (auto [len, digits] : std::vector<std::pair<int, std::string>>{
           {1234, "00001234"}, {99999999, "99999999"}, {0, "00000000"}, {-5, "-0000005"},
           {100000000, "-0000005"}, {-10000000, "-0000005"}}) {
    EXPECT_EQ(SetProtocolLength(h, len), len);
    EXPECT_EQ(Text(h, 8), digits) << len;
    EXPECT_EQ(memcmp(h + 8, before + 8, 40), 0);
  }
  EXPECT_EQ(SetProtocolLength(h, 99999999), 99999999);
  EXPECT_EQ(GetProtocolLength(h), 99999999);
}

TEST(ProtocolHeader, LengthReadLikeAtoiAndOnlyBehindTheEyeCatcher) {
  unsigned char h[48];
  CrProtocolHeader(h);
  memcpy(h, "  123x45", 8);
  EXPECT_EQ(GetProtocolLength(h), 123);
  memcpy(h, "abcdefgh", 8);
  EXPECT_EQ(GetProtocolLength(h), 0);
  CrProtocolHeader(h);
  h[17] = 'L';  // "WQ8:globaL": reads 0 and is not written
  EXPECT_EQ(GetProtocolLength(h), 0);
  EXPECT_EQ(SetProtocolLength(h, 77), 77);
  EXPECT_EQ(Text(h, 8), "00000048");
  unsigned char zero[48] = {};
  EXPECT_EQ(GetProtocolLength(zero), 0);
}

TEST(ProtocolHeader, UnalignedFourByteCopy) {
  unsigned char src[7] = {0, 1, 2, 3, 4, 5, 6};
  unsigned char dst[7] = {};
  i4_memcopy(dst + 1, src + 3);
  EXPECT_EQ(Text(dst, 7), std::string("\x00\x03\x04\x05\x06\x00\x00", 7));
}

}  // namespace
