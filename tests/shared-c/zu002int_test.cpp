#include "zu002int.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

#include "common/data.h"

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
  ASSERT_TRUE(fd >= 0 && write(fd, plain.data(), plain.size()) == (ssize_t)plain.size() && close(fd) == 0);
  for (int k = 0; k < 4; k++) {
    std::string key(8, '\0');
    for (char &c : key) c = (char)rng();
    FILE *p = popen(("openssl enc -des-ecb -provider legacy -provider default -nopad -K " + Hex(key) + " -in " + path + " 2>/dev/null").c_str(), "r");
    std::string theirs(plain.size() + 1, '\0');
    theirs.resize(p ? fread(theirs.data(), 1, theirs.size(), p) : 0);
    if ((p ? pclose(p) : -1) != 0 || theirs.size() != plain.size()) {
      unlink(path);
      GTEST_SKIP() << "openssl with its legacy DES is not available here";
    }
    desinit(key.data());
    for (size_t b = 0; b < plain.size(); b += 8)
      ASSERT_EQ(Hex(Block(endes, plain.substr(b, 8))), Hex(theirs.substr(b, 8))) << "key " << Hex(key) << " block " << b;
  }
  unlink(path);
}

TEST(Des, HexCodecAndKeyTexts) {
  const std::string bytes = Unhex("0001ABFF107E9C25");
  char text[17], back[8];
  memset(text, '#', sizeof text);
  byte2hex(text, bytes.data());
  EXPECT_EQ(std::string(text, 17), "0001ABFF107E9C25#");  // no terminator written
  hex2byte(back, text);
  EXPECT_EQ(std::string(back, 8), bytes);
  hex2byte(back, "ab00000000000000");  // lower-case letters are no hex digits to it
  EXPECT_EQ((unsigned char)back[0], 0xCB);

  const char plain[] = "8 bytes!";
  initkey("Hm3Tx#6qLONGER-THAN-KEYX");
  EXPECT_STREQ(keyx, "Hm3Tx#6qLON");  // cut to what keyx holds
  const std::string long_key = Block(endes, plain);
  initkey("Hm3Tx#6q");
  EXPECT_EQ(Block(endes, plain), long_key);  // only 8 bytes count
  initkey("ab");  // a short key is its text and zero bytes, whatever came before
  const std::string short_key = Block(endes, plain);
  desinit(std::string("ab\0\0\0\0\0\0", 8).data());
  EXPECT_EQ(Block(endes, plain), short_key);
  initkey(nullptr);
  EXPECT_STREQ(keyx, kDefaultKey);
  const std::string by_default = Block(endes, plain);
  initkey("");
  EXPECT_EQ(Block(endes, plain), by_default);
  desinit("borz\xC3\xA9sk");
  EXPECT_EQ(Block(endes, plain), by_default);
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
