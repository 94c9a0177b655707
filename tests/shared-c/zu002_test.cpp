#include "zu002.h"

#include <gtest/gtest.h>

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

std::string Block(void (*f)(const char *, char *), const std::string &block) {
  char out[8];
  f(block.data(), out);
  return std::string(out, 8);
}

// Texts and byte areas of the call table: fixed forms, lengths, round trips.
TEST(Seral, CallsOfTheTableInBothDirections) {
  CheckCalls({
      {"ZUSTRNG_EnSeral2", [](Row &r, Area &) {  // deciphered in place behind the other marker
         EXPECT_EQ(En(r.s(0), r.p(1)), "\xAD\xAD" + r.s(2));
         std::string enc = "--" + r.s(2);
         EXPECT_EQ(ZUSTRNG_DeSeral2(enc.data(), enc.data(), r.p(1)), 0);
         EXPECT_STREQ(enc.c_str(), r.p(0)); }},
      {"ZUSTRNG_DeSeral2", [](Row &r, Area &out) {
         EXPECT_EQ(ZUSTRNG_DeSeral2(out, r.p(0), kKey), r.n(1)); r.Wrote(out, 2, r.s(2).size()); }},
      {"ZUSTRNG_EnSeralBin", [](Row &r, Area &) {
         const std::string data = r.s(0);
         char enc[64], dec[64];
         const int n = r.p(1) ? ZUSTRNG_EnSeralBin2(enc, data.data(), (int)data.size(), r.p(1))
                              : ZUSTRNG_EnSeralBin(enc, data.data(), (int)data.size());
         EXPECT_EQ(n, r.n(2));
         EXPECT_EQ(Hex(std::string(enc, r.s(3).size())) + " " + std::to_string(n % 8 ? enc[n - 1] : 0),
                   Hex(r.s(3)) + " " + std::to_string(data.size() % 8));  // the count byte of a short rest
         EXPECT_EQ(std::string(dec, r.p(1) ? ZUSTRNG_DeSeralBin2(dec, enc, n, r.p(1)) : ZUSTRNG_DeSeralBin(dec, enc, n)), data); }},
      {"ZUSTRNG_DeSeralBin", [](Row &r, Area &out) { EXPECT_EQ(ZUSTRNG_DeSeralBin(out, r.p(0), (int)r.s(0).size()), r.n(1)); }},
  }, 20);
  for (const std::string &text : {std::string(), std::string("123456789012345"), std::string(200, 'x')}) {
    const std::string enc = En(text, kKey);
    EXPECT_EQ(enc.size(), 4 + 16 * (text.size() / 8 + 1)) << enc;
    EXPECT_EQ(enc.find_first_not_of("0123456789ABCDEF", 4), std::string::npos) << enc;
    EXPECT_EQ(De(enc, kKey), std::make_pair(0, text));
  }
}

// Random filler: encipherments of one short text differ, each deciphers.
// The suffix-2 calls leave no key set up (only the key area's first byte is
// cleared); calls without the suffix keep the key they find.
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
  EXPECT_EQ(Hex(std::string(keyx, 9)), Hex(Unhex("00,\"m3Tx#6q\",00")));
  char out[64] = {};
  EXPECT_EQ(ZUSTRNG_DeSeral(out, enc.c_str()), 0);
  EXPECT_STREQ(out, "by default");
  initkey(kKey);
  ZUSTRNG_EnSeral(out, "kept key");
  EXPECT_EQ(De(out, kKey).second, "kept key");
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

TEST(Des, HexCodecKeyTextsAndFiller) {
  CheckCalls({
      {"initkey", [](Row &r, Area &) {
         initkey(r.p(0));
         EXPECT_EQ(Hex(std::string(keyx, sizeof keyx)) + " " + Hex(Block(endes, "8 bytes!")), Hex(r.s(1)) + " " + r.c.words[2]); }},
      {"byte2hex", [](Row &r, Area &out) { byte2hex(out, r.p(0)), r.Wrote(out, 1, 16); }},
      {"hex2byte", [](Row &r, Area &out) { hex2byte(out, r.p(0)), r.Wrote(out, 1, 8); }},
  }, 8);
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
