#include "zu002int.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

std::string unhex(const std::string &hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out += (char)std::stoi(hex.substr(i, 2), nullptr, 16);
  return out;
}

std::string tohex(const std::string &bytes) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string encipher(const std::string &block) {
  char out[8];
  endes(block.data(), out);
  return std::string(out, 8);
}

std::string decipher(const std::string &block) {
  char out[8];
  dedes(block.data(), out);
  return std::string(out, 8);
}

struct Kat {
  const char *key, *plain, *cipher;
};

// Published known answers: the FIPS 81 example, tests of NIST SP 800-17
// (variable plaintext, variable key, permutation and substitution tables)
// and the classic worked example.
const Kat kKats[] = {
    {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},  // "Now is t"
    {"0123456789ABCDEF", "68652074696D6520", "6A271787AB8883F9"},  // "he time "
    {"0123456789ABCDEF", "666F7220616C6C20", "893D51EC4B563B53"},  // "for all "
    {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
    {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
    {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
    {"1046913489980131", "0000000000000000", "88D55E54F54C97B4"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "690F5B0D9A26939B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "7A389D10354BD271"},
    {"07A1133E4A0B2686", "0248D43806F67172", "868EBB51CAB4599A"},
    {"3849674C2602319E", "51454B582DDF440A", "7178876E01F19B2A"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "AF37FB421F8C4095"},
};

TEST(Des, KnownAnswers) {
  for (const Kat &k : kKats) {
    SCOPED_TRACE(k.key);
    desinit(unhex(k.key).data());
    EXPECT_EQ(tohex(encipher(unhex(k.plain))), k.cipher);
    EXPECT_EQ(tohex(decipher(unhex(k.cipher))), k.plain);
  }
}

// Rivest's test: x(i+1) = E(key x(i), x(i)) for even i, D(key x(i), x(i)) for
// odd i; after 16 steps every S-box entry has been exercised.
TEST(Des, RivestIteration) {
  std::string x = unhex("9474B8E8C73BCA7D");
  for (int i = 0; i < 16; i++) {
    desinit(x.data());
    x = (i % 2 == 0) ? encipher(x) : decipher(x);
  }
  EXPECT_EQ(tohex(x), "1B1A2DDB4C642438");
}

TEST(Des, RoundTripInPlaceAndParityIgnored) {
  std::mt19937_64 rng(20261206);
  for (int k = 0; k < 50; k++) {
    char key[8], flipped[8];
    for (char &c : key) c = (char)rng();
    memcpy(flipped, key, 8);
    for (char &c : flipped) c ^= (char)(rng() & 1);  // parity bits only

    std::vector<std::string> plains, ciphers;
    desinit(key);
    for (int b = 0; b < 10; b++) {
      char block[8];
      for (char &c : block) c = (char)rng();
      plains.emplace_back(block, 8);
      ciphers.push_back(encipher(plains.back()));
      EXPECT_EQ(decipher(ciphers.back()), plains.back());
      endes(block, block);
      EXPECT_EQ(std::string(block, 8), ciphers.back());
      dedes(block, block);
      EXPECT_EQ(std::string(block, 8), plains.back());
    }
    desinit(flipped);
    for (size_t b = 0; b < plains.size(); b++) EXPECT_EQ(encipher(plains[b]), ciphers[b]);
  }
}

TEST(HexCodec, BothDirections) {
  const char bytes[8] = {0x00, 0x01, (char)0xAB, (char)0xFF, 0x10, 0x7E, (char)0x9C, 0x25};
  char text[17];
  memset(text, '#', sizeof text);
  byte2hex(text, bytes);
  EXPECT_EQ(std::string(text, 16), "0001ABFF107E9C25");
  EXPECT_EQ(text[16], '#');  // no terminator written
  char back[8];
  hex2byte(back, text);
  EXPECT_EQ(memcmp(back, bytes, 8), 0);

  // Lower-case letters are not hexadecimal digits to the decoder.
  hex2byte(back, "ab00000000000000");
  EXPECT_EQ((unsigned char)back[0], 0xCB);
}

TEST(Keys, OnlyEightBytesCountAndShortKeysDoNotInheritOldBytes) {
  const std::string plain = "8 bytes!";
  initkey("Hm3Tx#6qLONGER-THAN-KEYX");
  EXPECT_STREQ(keyx, "Hm3Tx#6qLON");  // cut to what keyx holds
  const std::string c1 = encipher(plain);
  initkey("Hm3Tx#6q");
  EXPECT_EQ(encipher(plain), c1);

  // A short key is its text and zero bytes, whatever was set up before.
  initkey("ab");
  const std::string after_long = encipher(plain);
  char zeros[8] = {'a', 'b', 0, 0, 0, 0, 0, 0};
  desinit(zeros);
  EXPECT_EQ(encipher(plain), after_long);

  // Null and empty keys both give the default key.
  initkey(nullptr);
  EXPECT_STREQ(keyx, kDefaultKey);
  const std::string by_default = encipher(plain);
  initkey("");
  EXPECT_EQ(encipher(plain), by_default);
  desinit("borz\xC3\xA9sk");
  EXPECT_EQ(encipher(plain), by_default);
}

}  // namespace
