#include "wq_sr.h"

#include <gtest/gtest.h>

namespace {

// A negative length is a sign and seven digits; one that eight digits cannot
// carry is not written. Only the digits ever change, and only behind a valid
// eye-catcher; reading is like atoi.
TEST(ProtocolHeader, LengthDigitsOnlyBehindAValidEyeCatcher) {
  unsigned char h[49];
  h[48] = 0xAB;
  EXPECT_EQ(CrProtocolHeader(h), 48);
  const std::string head((const char *)h, 49), rest = head.substr(8);
  EXPECT_EQ(head, "00000048WQ8:global001NAT" + std::string(24, ' ') + "\xAB");  // nothing behind the 48 bytes
  struct Row { int len; const char *digits; int read; };
  for (const Row &r : {Row{1234, "00001234", 1234}, Row{99999999, "99999999", 99999999}, Row{0, "00000000", 0},
                       Row{-5, "-0000005", -5}, Row{100000000, "-0000005", -5}, Row{-10000000, "-0000005", -5}}) {
    EXPECT_EQ(SetProtocolLength(h, r.len), r.len);
    EXPECT_EQ(std::string((const char *)h, 49) + std::to_string(GetProtocolLength(h)), r.digits + rest + std::to_string(r.read));
  }
  memcpy(h, "  123x45", 8);
  EXPECT_EQ(GetProtocolLength(h), 123);
  CrProtocolHeader(h);
  h[17] = 'L';  // "WQ8:globaL": reads 0 and is not written
  EXPECT_EQ(GetProtocolLength(h) + SetProtocolLength(h, 77), 77);
  EXPECT_EQ(std::string((const char *)h, 8), "00000048");
  unsigned char src[7] = {0, 1, 2, 3, 4, 5, 6}, dst[7] = {};
  i4_memcopy(dst + 1, src + 3);
  EXPECT_EQ(std::string((const char *)dst, 7), std::string("\0\3\4\5\6\0\0", 7));
}

}  // namespace
