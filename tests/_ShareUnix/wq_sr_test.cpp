#include "wq_sr.h"

#include <gtest/gtest.h>

#include "src/rows.h"

namespace {

// Only the digits ever change, and only behind a valid eye-catcher; reading
// is like atoi.
TEST(ProtocolHeader, LengthDigitsOnlyBehindAValidEyeCatcher) {
  unsigned char h[49];
  h[48] = 0xAB;
  EXPECT_EQ(CrProtocolHeader(h), 48);
  const std::string head((const char *)h, 49);
  EXPECT_EQ(head, "00000048WQ8:global001NAT" + std::string(24, ' ') + "\xAB");  // nothing behind the 48 bytes
  EXPECT_EQ(wqtest::ForEachCall([&](const std::string &f, wqtest::Row &r) {
              if (f != "SetProtocolLength") return false;
              EXPECT_EQ(SetProtocolLength(h, (int)r.n(0)), r.n(0));
              EXPECT_EQ(std::string((const char *)h, 49), r.s(1) + head.substr(8));
              EXPECT_EQ(GetProtocolLength(h), r.n(2));
              return true;
            }), 6);
  memcpy(h, "  123x45", 8);
  EXPECT_EQ(GetProtocolLength(h), 123);
  CrProtocolHeader(h);
  h[17] = 'L';  // "WQ8:globaL": reads 0 and is not written
  EXPECT_EQ(std::vector<int>({GetProtocolLength(h), SetProtocolLength(h, 77)}), std::vector<int>({0, 77}));
  EXPECT_EQ(std::string((const char *)h, 8), "00000048");
  unsigned char src[7] = {0, 1, 2, 3, 4, 5, 6}, dst[7] = {};
  i4_memcopy(dst + 1, src + 3);
  EXPECT_EQ(std::string((const char *)dst, 7), std::string("\0\3\4\5\6\0\0", 7));
}

}  // namespace
