#include "zu002int.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

#include "src/rows.h"

namespace {

using wqtest::Hex;
using wqtest::Unhex;

std::string Block(void (*f)(const char *, char *), const std::string &block) {
  char out[8];
  f(block.data(), out);
  return std::string(out, 8);
}

TEST(Des, KnownAnswersBothWays) {
  int n = 0;
  for (const wqtest::DataCase &c : wqtest::ReadData("des_kat.txt")) {
    std::string key = Unhex(c.name), block = Unhex(c.words[0]);
    for (char &k : key) k ^= (char)(++n & 1);  // the parity bits do not count
    desinit(key.data());
    endes(block.data(), block.data());  // in place
    EXPECT_EQ(Hex(block) + " " + Hex(Block(dedes, block)), c.words[1] + " " + c.words[0]) << c.name;
  }
  EXPECT_EQ(n, 12 * 8);
  // Rivest's test: x(i+1) = E(key x(i), x(i)) for even i, D(key x(i), x(i))
  // for odd i; after 16 steps every S-box entry has been used.
  std::string x = Unhex("9474B8E8C73BCA7D");
  for (int i = 0; i < 16; i++) {
    desinit(x.data());
    x = Block(i % 2 == 0 ? endes : dedes, x);
  }
  EXPECT_EQ(Hex(x), "1B1A2DDB4C642438");
}

// The same blocks through OpenSSL's DES (ECB, no padding) under random keys.
TEST(Des, AgreesWithOpenssl) {
  std::mt19937_64 rng(77);
  std::string plain(512, '\0');
  for (char &c : plain) c = (char)rng();
  char path[] = "/tmp/wq_des_XXXXXX";
  const int fd = mkstemp(path);
  struct Remove { const char *path; ~Remove() { unlink(path); } } remove{path};  // however the test ends
  ASSERT_TRUE(fd >= 0 && write(fd, plain.data(), plain.size()) == (ssize_t)plain.size() && close(fd) == 0);
  for (int k = 0; k < 4; k++) {
    std::string key(8, '\0');
    for (char &c : key) c = (char)rng();
    const std::string cmd =
        "openssl enc -des-ecb -provider legacy -provider default -nopad -K " + Hex(key) + " -in " + path;
    FILE *p = popen((cmd + " 2>/dev/null").c_str(), "r");
    std::string theirs(plain.size() + 1, '\0');
    theirs.resize(p ? fread(theirs.data(), 1, theirs.size(), p) : 0);
    if ((p ? pclose(p) : -1) != 0 || theirs.size() != plain.size()) GTEST_SKIP() << "openssl with its legacy DES is not available here";
    desinit(key.data());
    for (size_t b = 0; b < plain.size(); b += 8)
      ASSERT_EQ(Hex(Block(endes, plain.substr(b, 8))), Hex(theirs.substr(b, 8))) << cmd << " block " << b;
  }
}

TEST(Des, HexCodecKeyTextsAndFiller) {
  EXPECT_EQ(wqtest::ForEachCall([](const std::string &f, wqtest::Row &r) {
              wqtest::Area out;
              if (f == "initkey") {
                initkey(r.p(0));
                EXPECT_EQ(keyx + std::string(" ") + Hex(Block(endes, "8 bytes!")), r.s(1) + " " + r.c.words[2]);
              } else if (f == "byte2hex" || f == "hex2byte") {
                (f == "byte2hex" ? byte2hex : hex2byte)(out, r.p(0));
                r.Wrote(out, 1, f == "byte2hex" ? 16 : 8);
              }
              return f == "initkey" || f == "byte2hex" || f == "hex2byte";
            }), 8);
  // A key set-up reseeds the filler from the clock's milliseconds (0-999):
  // what follows is not what the seed 4711 gives.
  std::string fixed, filler;
  srand(4711);
  for (int i = 0; i < 4; ++i) fixed += (char)(rand() & 255);
  srand(4711);
  initkey(kDefaultKey);
  for (int i = 0; i < 4; ++i) filler += (char)garbage();
  EXPECT_NE(Hex(filler), Hex(fixed));
}

}  // namespace
