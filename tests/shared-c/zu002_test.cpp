#include "zu002.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

const char kCmdKey[] = "Hm3Tx#6q";

std::string en2(const std::string &text, const char *key) {
  std::vector<char> out(4 + 16 * (text.size() / 8 + 1) + 1 + 8, '#');
  EXPECT_EQ(ZUSTRNG_EnSeral2(out.data(), text.c_str(), key), 0);
  return std::string(out.data());
}

// Deciphers and returns the result code and the text up to its NUL.
std::pair<int, std::string> de2(const std::string &enc, const char *key) {
  std::vector<char> out(enc.size() + 1, '\0');
  int rc = ZUSTRNG_DeSeral2(out.data(), enc.c_str(), key);
  return {rc, std::string(out.data())};
}

// Known answers: texts whose length + 1 is a multiple of 8 carry no filler,
// so their enciphered form is fixed (blocks computed independently).
TEST(SeralText, KnownEncipheredForms) {
  EXPECT_EQ(en2("echo hi", kCmdKey), "\xAD\xAD" "102A03153AC81123C0");
  EXPECT_EQ(en2("echo secret 123", kCmdKey), "\xAD\xAD" "1074731B787CADD282755BE39F7CC3907D");
  char out[64];
  ZUSTRNG_EnSeral2(out, "abcdefg", nullptr);  // the default key
  EXPECT_STREQ(out, "\xAD\xAD" "10AA7CDB0C7CBDB11B");

  // Both markers are read.
  EXPECT_EQ(de2("--102A03153AC81123C0", kCmdKey), std::make_pair(0, std::string("echo hi")));
  EXPECT_EQ(de2("\xAD\xAD" "1074731B787CADD282755BE39F7CC3907D", kCmdKey),
            std::make_pair(0, std::string("echo secret 123")));
}

TEST(SeralText, LengthsAndRoundTrips) {
  const struct {
    std::string text;
    size_t enc_len;
  } cases[] = {{"", 20}, {"1234567", 20}, {"12345678", 36}, {"123456789012345", 36},
               {"1234567890123456", 52}, {std::string(200, 'x'), 4 + 16 * 26}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    std::string enc = en2(c.text, kCmdKey);
    ASSERT_EQ(enc.size(), c.enc_len);
    EXPECT_EQ(memcmp(enc.data(), "\xAD\xAD" "10", 4), 0);
    EXPECT_EQ(enc.find_first_not_of("0123456789ABCDEF", 4), std::string::npos);
    EXPECT_EQ(de2(enc, kCmdKey), std::make_pair(0, c.text));
    EXPECT_EQ(de2("--" + enc.substr(2), kCmdKey), std::make_pair(0, c.text));
  }
  // Deciphering in place.
  std::string enc = en2("in place text", kCmdKey);
  std::vector<char> buf(enc.begin(), enc.end());
  buf.push_back('\0');
  EXPECT_EQ(ZUSTRNG_DeSeral2(buf.data(), buf.data(), kCmdKey), 0);
  EXPECT_STREQ(buf.data(), "in place text");
}

TEST(SeralText, FillerMakesShortLastBlocksDiffer) {
  // Under one key, repeated encipherments of a text with filler are not all
  // identical; each still deciphers to the text.
  initkey(kCmdKey);
  std::vector<std::string> seen;
  for (int i = 0; i < 20; i++) {
    char out[32];
    ZUSTRNG_EnSeral(out, "abc");
    seen.emplace_back(out);
    char back[32] = {};
    ZUSTRNG_DeSeral(back, out);
    EXPECT_STREQ(back, "abc");
  }
  bool differ = false;
  for (const std::string &e : seen) differ |= e != seen[0];
  EXPECT_TRUE(differ);
}

TEST(SeralText, NonEncipheredTextsComeBackUnchanged) {
  const std::string header_alone = "--10";
  const char *invalid[] = {"ls --10AB",          "--11" "2A03153AC81123C0", "--102A03153AC81123C",
                           "2A03153AC81123C0",   "-",                        "",
                           "\xAD-102A03153AC81123C0"};
  for (const char *text : invalid) {
    SCOPED_TRACE(text);
    EXPECT_EQ(de2(text, kCmdKey), std::make_pair(1, std::string(text)));
  }
  // A header alone is an enciphered empty area: nothing is written.
  char out[8] = "keep";
  EXPECT_EQ(ZUSTRNG_DeSeral2(out, header_alone.c_str(), kCmdKey), 0);
  EXPECT_STREQ(out, "keep");
}

TEST(SeralText, KeyRules) {
  // Key texts that agree in their first 8 bytes are one key.
  EXPECT_EQ(de2(en2("secret", "Hm3Tx#6qAAA"), "Hm3Tx#6qBBBBBBBBBBBBBBBBB").second, "secret");
  EXPECT_NE(de2(en2("secret", "Hm3Tx#6q"), "Hm3Tx#6r").second, "secret");

  // The suffix-2 calls leave no key behind: the next call without a key uses
  // the default key, whatever key the suffix-2 call used.
  std::string enc = en2("by default", nullptr);
  de2(enc, kCmdKey);
  EXPECT_EQ(keyx[0], '\0');
  char out[64] = {};
  EXPECT_EQ(ZUSTRNG_DeSeral(out, enc.c_str()), 0);
  EXPECT_STREQ(out, "by default");

  // Calls without the suffix keep the key they find.
  initkey(kCmdKey);
  char mine[64];
  ZUSTRNG_EnSeral(mine, "kept key");
  EXPECT_EQ(de2(mine, kCmdKey).second, "kept key");
  EXPECT_EQ(de2(en2("empty key", ""), nullptr).second, "empty key");
}

TEST(SeralBin, AreaForms) {
  std::string data16 = "0123456789abcdef";
  char enc[32], dec[32];
  EXPECT_EQ(ZUSTRNG_EnSeralBin2(enc, data16.data(), 16, kCmdKey), 16);
  EXPECT_EQ(ZUSTRNG_DeSeralBin2(dec, enc, 16, kCmdKey), 16);
  EXPECT_EQ(std::string(dec, 16), data16);

  const char three[3] = {'\0', '\x7f', '\xff'};
  EXPECT_EQ(ZUSTRNG_EnSeralBin2(enc, three, 3, kCmdKey), 9);
  EXPECT_EQ(enc[8], 3);
  EXPECT_EQ(ZUSTRNG_DeSeralBin2(dec, enc, 9, kCmdKey), 3);
  EXPECT_EQ(std::string(dec, 3), std::string(three, 3));

  std::string data13 = "thirteen byte";
  EXPECT_EQ(ZUSTRNG_EnSeralBin(enc, data13.data(), 13), 17);
  EXPECT_EQ(enc[16], 5);
  EXPECT_EQ(ZUSTRNG_DeSeralBin(dec, enc, 17), 13);
  EXPECT_EQ(std::string(dec, 13), data13);

  // A count byte without a deciphered block changes nothing.
  EXPECT_EQ(ZUSTRNG_DeSeralBin(dec, "\x03", 1), 0);
  EXPECT_EQ(ZUSTRNG_EnSeralBin(enc, "", 0), 0);
}

}  // namespace
