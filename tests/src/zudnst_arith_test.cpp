#include "zudnst_arith.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <vector>

TEST(WideArithmetic, AdditionsWrapAndComparisonsAreSigned) {
  struct Row { char how; long sum, add, result; };  // how: '8' MyAddFrom8, '4' MyAddFrom4, 'u' myAdd8
  for (const Row &r : {Row{'8', 10, -3, 7}, Row{'8', LONG_MAX, 1, LONG_MIN}, Row{'4', 5, -1, 4},
                       Row{'4', 4, INT_MIN, 4L + INT_MIN}, Row{'u', 5, -1, 5L + 4294967295L}}) {
    long sum = r.sum;
    r.how == '8' ? MyAddFrom8(&sum, &r.add) : r.how == '4' ? MyAddFrom4(&sum, (int)r.add) : myAdd8(&sum, (unsigned)r.add);
    EXPECT_EQ(sum, r.result) << r.how << " " << r.sum << " + " << r.add;
  }
  for (long a : {LONG_MIN, -1L, 0L, 1L, 4294967296L, LONG_MAX})
    for (long b : {LONG_MIN, -1L, 0L, 1L, 4294967296L, LONG_MAX}) {
      int a4 = (int)(a >> 32), b4 = (int)(b >> 32);  // INT_MIN, -1, 0, 0, 1, INT_MAX
      EXPECT_EQ(std::vector<int>({MyGt8(&a, &b), MyLe8(&a, &b), MyGt4(&a4, &b4), MyLe4(&a4, &b4)}),
                std::vector<int>({a > b, a <= b, a4 > b4, a4 <= b4})) << a << " " << b;
    }
}

TEST(Base26, CodesBothWaysAndWhereReadingStops) {
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
  std::mt19937 rng(26);
  for (int i = 0; i < 2000; ++i) {
    const unsigned v = (unsigned)rng();
    ASSERT_EQ(Zudnst_B26ToLong(Zudnst_LongToB26(v, out)), v) << out;
  }
}

TEST(Plausibility, BoundsWithoutOverflow) {
  struct Row { unsigned msg, dist, len; int ok; };
  for (const Row &r : {Row{100, 90, 10, 1}, Row{100, 91, 10, 0}, Row{0, 4000000000u, 4000000000u, 1},
                       Row{100, 4294967290u, 10, 0}, Row{100, 10, 4294967290u, 0},
                       Row{4294967295u, 4294967295u, 0, 1}, Row{4294967295u, 4294967295u, 1, 0}})
    EXPECT_EQ(Zudnst_Plausibility(r.msg, r.dist, r.len), r.ok) << r.msg << " " << r.dist << " " << r.len;
}

TEST(Scrambler, ShiftRegisterAndAPeriodicSelfInverseStream) {
  for (auto [key, next] : std::vector<std::pair<unsigned, unsigned>>{{1, 2147483648u}, {9, 4}, {8, 2147483652u}, {0, 0}})
    EXPECT_EQ(getnewkey(key), next) << key;
  for (unsigned key : {1u, 0xDEADBEEFu, 12345u, 0x80000000u}) {
    std::vector<unsigned char> area(700, 0);  // on zeros the result is the stream itself
    const unsigned next = memchiffre(key, area.data(), (int)area.size());
    const size_t period = (getnewkey(key) & 127u) + 129;
    EXPECT_EQ(area[0], (unsigned char)(getnewkey(getnewkey(key)) % 255u + 1u)) << key;
    for (size_t j = 0; j < area.size(); ++j) {
      ASSERT_NE(area[j], 0) << key << " " << j;
      if (j + period < area.size()) { ASSERT_EQ(area[j], area[j + period]) << key << " " << j; }
    }
    EXPECT_EQ(memchiffre(key, nullptr, 0), next);  // the key advances whatever the length
    EXPECT_EQ(memchiffre(key, area.data(), 3), next);
  }
  std::vector<unsigned char> data(1000), copy;
  std::mt19937 rng(7);
  for (auto &b : data) b = (unsigned char)rng();
  copy = data;
  memchiffre(42, data.data(), (int)data.size());
  EXPECT_NE(data, copy);
  memchiffre(42, data.data(), (int)data.size());
  EXPECT_EQ(data, copy);
}
