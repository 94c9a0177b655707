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
