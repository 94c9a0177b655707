#include "zudnst_arith.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

TEST(WideArithmetic, AdditionsWrapAndExtend) {
  long sum = 10;
  long add = -3;
  MyAddFrom8(&sum, &add);
  EXPECT_EQ(sum, 7);
  sum = LONG_MAX;
  add = 1;
  MyAddFrom8(&sum, &add);
  EXPECT_EQ(sum, LONG_MIN);

  sum = 5;
  MyAddFrom4(&sum, -1);
  EXPECT_EQ(sum, 4);
  MyAddFrom4(&sum, INT_MIN);
  EXPECT_EQ(sum, 4L + INT_MIN);

  sum = 5;
  myAdd8(&sum, (unsigned int)-1);
  EXPECT_EQ(sum, 5L + 4294967295L);
}

TEST(WideArithmetic, ComparisonsAreExactOpposites) {
  const long values8[] = {LONG_MIN, -2, -1, 0, 1, 2, 4294967296L, LONG_MAX};
  for (long a : values8)
    for (long b : values8) {
      EXPECT_NE(MyGt8(&a, &b), MyLe8(&a, &b)) << a << " " << b;
      EXPECT_EQ(MyGt8(&a, &b), a > b ? 1 : 0);
    }
  const int values4[] = {INT_MIN, -1, 0, 1, INT_MAX};
  for (int a : values4)
    for (int b : values4) {
      EXPECT_NE(MyGt4(&a, &b), MyLe4(&a, &b));
      EXPECT_EQ(MyLe4(&a, &b), a <= b ? 1 : 0);
    }
}

TEST(Base26, KnownCodes) {
  char out[8];
  for (auto [v, code] : std::vector<std::pair<unsigned, const char *>>{
           {0, "AAAAAAA"}, {1, "AAAAAAB"}, {26, "AAAAABA"}, {4294967295u, "NXMRLXV"}}) {
    memset(out, 'x', sizeof out);
    EXPECT_STREQ(Zudnst_LongToB26(v, out), code);
    EXPECT_EQ(Zudnst_B26ToLong(code), v);
  }
  EXPECT_EQ(Zudnst_LongToB26(1, nullptr), nullptr);
  // A non-letter ends the number without a further factor; at most seven
  // letters are read; codes above NXMRLXV wrap modulo 2^32.
  for (auto [code, v] : std::vector<std::pair<const char *, unsigned>>{
           {"AB", 1}, {"", 0}, {nullptr, 0}, {"AB-", 1}, {"Bb", 1}, {"-B", 0}, {"AAAAABAZZZ", 26}, {"NXMRLXW", 0}})
    EXPECT_EQ(Zudnst_B26ToLong(code), v) << (code ? code : "null");
}

TEST(Base26, RoundTripOverRandomValues) {
  std::mt19937 rng(26);
  char out[8];
  for (int i = 0; i < 2000; ++i) {
    unsigned int v = (unsigned int)rng();
    ASSERT_EQ(Zudnst_B26ToLong(Zudnst_LongToB26(v, out)), v) << out;
    ASSERT_EQ(strlen(out), 7u);
  }
}

TEST(Plausibility, BoundsWithoutOverflow) {
  struct Case {
    unsigned v, ref, tolerance;
    int ok;
  };
  for (const Case &c : std::vector<Case>{{100, 90, 10, 1},
                                         {100, 91, 10, 0},
                                         {0, 4000000000u, 4000000000u, 1},
                                         {100, 4294967290u, 10, 0},
                                         {100, 10, 4294967290u, 0},
                                         {4294967295u, 4294967295u, 0, 1},
                                         {4294967295u, 4294967295u, 1, 0}})
    EXPECT_EQ(Zudnst_Plausibility(c.v, c.ref, c.tolerance), c.ok) << c.v << " " << c.ref << " " << c.tolerance;
}

TEST(Scrambler, ShiftRegister) {
  for (auto [key, next] : std::vector<std::pair<unsigned, unsigned>>{{1, 2147483648u}, {9, 4}, {8, 2147483652u}, {0, 0}})
    EXPECT_EQ(getnewkey(key), next) << key;
}

TEST(Scrambler, StreamIsPeriodicNonZeroAndSelfInverse) {
  for (unsigned int key : {1u, 0xDEADBEEFu, 12345u, 0x80000000u}) {
    std::vector<unsigned char> area(700, 0);
    unsigned int next = memchiffre(key, area.data(), (int)area.size());
    // On a zero area the result is the stream itself.
    const int L = (int)(getnewkey(key) & 127u) + 129;
    for (size_t j = 0; j < area.size(); ++j) {
      ASSERT_NE(area[j], 0) << "key " << key << " byte " << j;
      if (j + L < area.size()) {
        ASSERT_EQ(area[j], area[j + L]);
      }
    }
    EXPECT_EQ(area[0], (unsigned char)(getnewkey(getnewkey(key)) % 255u + 1u));
    // The key continues after L + 1 steps, whatever the length.
    EXPECT_EQ(memchiffre(key, nullptr, 0), next);
    EXPECT_EQ(memchiffre(key, area.data(), 3), next);
  }

  std::mt19937 rng(7);
  std::vector<unsigned char> data(1000), copy;
  for (auto &b : data) b = (unsigned char)rng();
  copy = data;
  memchiffre(42, data.data(), (int)data.size());
  for (size_t j = 0; j < data.size(); ++j) ASSERT_NE(data[j], copy[j]);
  memchiffre(42, data.data(), (int)data.size());
  EXPECT_EQ(data, copy);
}
