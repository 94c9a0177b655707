#include "zu002.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <random>
#include <set>

#include "common/data.h"
#include "zu002int.h"

namespace {

using namespace wqtest;

const char kKey[] = "Hm3Tx#6q";

std::string En(const std::string &text, const char *key) {
  std::vector<char> out(4 + 16 * (text.size() / 8 + 1) + 1 + 8, '#');
  EXPECT_EQ(ZUSTRNG_EnSeral2(out.data(), text.c_str(), key), 0);
  return out.data();
}

// The result code and the deciphered text up to its NUL.
std::pair<int, std::string> De(const std::string &enc, const char *key) {
  std::vector<char> out(enc.size() + 1, '\0');
  const int rc = ZUSTRNG_DeSeral2(out.data(), enc.c_str(), key);
  return {rc, out.data()};
}

TEST(Seral, KnownFormsOtherTextsLengthsAndRoundTrips) {
  const int known = ForEachCall([](const std::string &f, Row &r) {
    if (f == "ZUSTRNG_EnSeral2") {
      EXPECT_EQ(En(r.s(0), r.p(1)), "\xAD\xAD" + r.s(2));
      EXPECT_EQ(De("--" + r.s(2), r.p(1)), std::make_pair(0, r.s(0)));  // either marker
    } else if (f == "ZUSTRNG_DeSeral2") {
      EXPECT_EQ(De(r.s(0), kKey), std::make_pair(1, r.s(0)));
    }
    return f == "ZUSTRNG_EnSeral2" || f == "ZUSTRNG_DeSeral2";
  });
  EXPECT_EQ(known, 13);
  const std::string texts[] = {"", "12345678", "123456789012345", std::string(200, 'x')};
  for (const std::string &text : texts) {
    const std::string enc = En(text, kKey);
    EXPECT_EQ(enc.size(), 4 + 16 * (text.size() / 8 + 1)) << enc;
    EXPECT_EQ(enc.find_first_not_of("0123456789ABCDEF", 4), std::string::npos) << enc;
    EXPECT_EQ(De(enc, kKey), std::make_pair(0, text));
  }
  std::string in_place = En("in place text", kKey);
  EXPECT_EQ(ZUSTRNG_DeSeral2(in_place.data(), in_place.data(), kKey), 0);
  EXPECT_STREQ(in_place.c_str(), "in place text");
  char out[8] = "keep";  // a header alone is an enciphered empty area
  EXPECT_EQ(ZUSTRNG_DeSeral2(out, "--10", kKey), 0);
  EXPECT_STREQ(out, "keep");
}

// Random filler: encipherments of one short text differ, each deciphers.
// The suffix-2 calls leave no key behind; calls without the suffix keep the
// key they find.
TEST(Seral, FillerAndKeyRules) {
  initkey(kKey);
  std::set<std::string> seen;
  for (int i = 0; i < 20; i++) {
    char out[32], back[32] = {};
    ZUSTRNG_EnSeral(out, "abc");
    ZUSTRNG_DeSeral(back, out);
    EXPECT_STREQ(back, "abc");
    seen.insert(out);
  }
  EXPECT_GT(seen.size(), 1u);
  const std::string enc = En("by default", nullptr);
  De(enc, kKey);
  EXPECT_EQ(keyx[0], '\0');
  char out[64] = {};
  EXPECT_EQ(ZUSTRNG_DeSeral(out, enc.c_str()), 0);
  EXPECT_STREQ(out, "by default");
  initkey(kKey);
  ZUSTRNG_EnSeral(out, "kept key");
  EXPECT_EQ(De(out, kKey).second, "kept key");
}

TEST(Seral, ByteAreas) {
  struct Row { std::string data; const char *key; int enc_len; };
  for (const Row &r : {Row{"0123456789abcdef", kKey, 16}, Row{std::string("\0\x7f\xff", 3), kKey, 9},
                       Row{"thirteen byte", nullptr, 17}, Row{"", nullptr, 0}}) {
    char enc[32], dec[32];
    const int size = (int)r.data.size();
    const int n =
        r.key ? ZUSTRNG_EnSeralBin2(enc, r.data.data(), size, r.key) : ZUSTRNG_EnSeralBin(enc, r.data.data(), size);
    ASSERT_EQ(n, r.enc_len) << r.data;
    if (n % 8) { EXPECT_EQ(enc[n - 1], (char)(r.data.size() % 8)); }  // the count byte of a short rest
    const int back = r.key ? ZUSTRNG_DeSeralBin2(dec, enc, n, r.key) : ZUSTRNG_DeSeralBin(dec, enc, n);
    EXPECT_EQ(std::string(dec, back), r.data);
  }
  char dec[24];
  EXPECT_EQ(ZUSTRNG_DeSeralBin(dec, "\x03", 1), 0);  // a count byte without a block
  EXPECT_EQ(ZUSTRNG_DeSeralBin(dec, "0123456789abcdef\x09", 17), 16);   // a last byte that is no count (1-7)
}

std::string Block(void (*f)(const char *, char *), const std::string &block) {
  char out[8];
  f(block.data(), out);
  return std::string(out, 8);
}

TEST(Des, KnownAnswersBothWays) {
  int n = 0;
  for (const DataCase &c : ReadData("des_kat.txt")) {
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
  EXPECT_EQ(ForEachCall([](const std::string &f, Row &r) {
              Area out;
              if (f == "initkey") {
                initkey(r.p(0));
                EXPECT_EQ(Hex(std::string(keyx, sizeof keyx)) + " " + Hex(Block(endes, "8 bytes!")), Hex(r.s(1)) + " " + r.c.words[2]);
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
