#include "zudnst_arith.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <vector>

TEST(WideArithmetic, ComparisonsAreSignedAndBase26GoesBothWays) {
  for (long a : {LONG_MIN, -1L, 0L, 1L, 4294967296L, LONG_MAX})
    for (long b : {LONG_MIN, -1L, 0L, 1L, 4294967296L, LONG_MAX}) {
      int a4 = (int)(a >> 32), b4 = (int)(b >> 32);  // INT_MIN, -1, 0, 0, 1, INT_MAX
      EXPECT_EQ(std::vector<int>({MyGt8(&a, &b), MyLe8(&a, &b), MyGt4(&a4, &b4), MyLe4(&a4, &b4)}),
                std::vector<int>({a > b, a <= b, a4 > b4, a4 <= b4})) << a << " " << b;
    }
  EXPECT_EQ(Zudnst_LongToB26(1, nullptr), nullptr);
  std::mt19937 rng(26);
  char out[8];
  for (int i = 0; i < 2000; ++i) {
    const unsigned v = (unsigned)rng();
    ASSERT_EQ(Zudnst_B26ToLong(Zudnst_LongToB26(v, out)), v) << out;
  }
}

// On zeros the scrambler writes its stream: never zero, periodic, and the
// key advances whatever the length. Twice over any data is the data.
TEST(Scrambler, APeriodicSelfInverseStream) {
  for (unsigned key : {1u, 0xDEADBEEFu, 12345u, 0x80000000u}) {
    std::vector<unsigned char> area(700, 0);
    const unsigned next = memchiffre(key, area.data(), (int)area.size());
    const size_t period = (getnewkey(key) & 127u) + 129;
    EXPECT_EQ(area[0], (unsigned char)(getnewkey(getnewkey(key)) % 255u + 1u)) << key;
    for (size_t j = 0; j < area.size(); ++j)
      ASSERT_TRUE(area[j] != 0 && (j + period >= area.size() || area[j] == area[j + period])) << key << " " << j;
    EXPECT_TRUE(memchiffre(key, nullptr, 0) == next && memchiffre(key, area.data(), 3) == next);
  }
  std::vector<unsigned char> data(1000);
  std::mt19937 rng(7);
  for (auto &b : data) b = (unsigned char)rng();
  const std::vector<unsigned char> copy = data;
  memchiffre(42, data.data(), (int)data.size());
  EXPECT_NE(data, copy);
  memchiffre(42, data.data(), (int)data.size());
  EXPECT_EQ(data, copy);
}
