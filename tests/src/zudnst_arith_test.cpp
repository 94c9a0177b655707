#include "zudnst_arith.h"

#include <gtest/gtest.h>

#include <climits>
#include <random>

#include "src/rows.h"

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

TEST(Base26PlausibilityAndKeys, CallsOfTheTable) {
  const int known = wqtest::ForEachCall([](const std::string &f, wqtest::Row &r) {
    char out[8];
    if (f == "Zudnst_LongToB26") EXPECT_STREQ(Zudnst_LongToB26((unsigned)r.u(0), out), r.p(1));
    else if (f == "Zudnst_B26ToLong") EXPECT_EQ(Zudnst_B26ToLong(r.p(0)), r.u(1));
    else if (f == "Zudnst_Plausibility") EXPECT_EQ(Zudnst_Plausibility((unsigned)r.u(0), (unsigned)r.u(1), (unsigned)r.u(2)), r.n(3));
    else if (f == "getnewkey") EXPECT_EQ(getnewkey((unsigned)r.u(0)), r.u(1));
    else return false;
    return true;
  });
  EXPECT_EQ(known, 23);
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
    EXPECT_EQ(memchiffre(key, nullptr, 0) + memchiffre(key, area.data(), 3), 2 * next);
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
