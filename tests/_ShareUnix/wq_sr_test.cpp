#include "wq_sr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string Text(const unsigned char *p, size_t n) { return std::string(reinterpret_cast<const char *>(p), n); }

TEST(ProtocolHeader, CreateWritesTheWholeHeader) {
  unsigned char h[48 + 4];
  memset(h, 0, sizeof h);
  h[48] = 0xAB;
  EXPECT_EQ(CrProtocolHeader(h), 48);
  EXPECT_EQ(Text(h, 48), "00000048WQ8:global001NAT" + std::string(24, ' '));
  EXPECT_EQ(h[48], 0xAB);  // nothing behind the 48 bytes
  EXPECT_EQ(GetProtocolLength(h), 48);
}

TEST(ProtocolHeader, SetLengthChangesOnlyTheDigits) {
  unsigned char h[48];
  CrProtocolHeader(h);
  unsigned char before[48];
  memcpy(before, h, 48);
  EXPECT_EQ(SetProtocolLength(h, 1234), 1234);
  EXPECT_EQ(Text(h, 8), "00001234");
  EXPECT_EQ(memcmp(h + 8, before + 8, 40), 0);
  EXPECT_EQ(GetProtocolLength(h), 1234);
  EXPECT_EQ(SetProtocolLength(h, 99999999), 99999999);
  EXPECT_EQ(GetProtocolLength(h), 99999999);
  EXPECT_EQ(SetProtocolLength(h, 0), 0);
  EXPECT_EQ(Text(h, 8), "00000000");
  // A negative length is a sign and seven digits.
  EXPECT_EQ(SetProtocolLength(h, -5), -5);
  EXPECT_EQ(Text(h, 8), "-0000005");
}

TEST(ProtocolHeader, LengthTooLargeForEightDigitsIsNotWritten) {
  unsigned char h[48];
  CrProtocolHeader(h);
  EXPECT_EQ(SetProtocolLength(h, 100000000), 100000000);
  EXPECT_EQ(Text(h, 8), "00000048");
  EXPECT_EQ(SetProtocolLength(h, -10000000), -10000000);
  EXPECT_EQ(Text(h, 8), "00000048");
}

TEST(ProtocolHeader, InvalidEyeCatcherReadsZeroAndIsNotWritten) {
  unsigned char h[48];
  CrProtocolHeader(h);
  h[17] = 'L';  // "WQ8:globaL"
  EXPECT_EQ(GetProtocolLength(h), 0);
  EXPECT_EQ(SetProtocolLength(h, 77), 77);
  EXPECT_EQ(Text(h, 8), "00000048");
  unsigned char zero[48] = {};
  EXPECT_EQ(GetProtocolLength(zero), 0);
}

TEST(ProtocolHeader, LengthDigitsAreReadLikeAtoi) {
  unsigned char h[48];
  CrProtocolHeader(h);
  memcpy(h, "  123x45", 8);
  EXPECT_EQ(GetProtocolLength(h), 123);
  memcpy(h, "abcdefgh", 8);
  EXPECT_EQ(GetProtocolLength(h), 0);
}

TEST(ProtocolHeader, UnalignedFourByteCopy) {
  unsigned char src[7] = {0, 1, 2, 3, 4, 5, 6};
  unsigned char dst[7] = {};
  i4_memcopy(dst + 1, src + 3);
  EXPECT_EQ(Text(dst, 7), std::string("\x00\x03\x04\x05\x06\x00\x00", 7));
}

}  // namespace
