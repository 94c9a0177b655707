#include "zu002.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "zu002int.h"

namespace {

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

// Texts whose length + 1 is a multiple of 8 carry no filler, so their
// enciphered form is fixed (blocks computed independently).
TEST(Seral, KnownFormsLengthsAndRoundTrips) {
  struct Row { std::string text; const char *key, *enc; };
  const Row known[] = {{"echo hi", kKey, "102A03153AC81123C0"},
                       {"echo secret 123", kKey, "1074731B787CADD282755BE39F7CC3907D"},
                       {"abcdefg", nullptr, "10AA7CDB0C7CBDB11B"}};  // the default key
  for (const Row &r : known) {
    EXPECT_EQ(En(r.text, r.key), "\xAD\xAD" + std::string(r.enc));
    EXPECT_EQ(De("--" + std::string(r.enc), r.key), std::make_pair(0, r.text));  // either marker
  }
  for (const std::string &text : {std::string(), std::string("12345678"), std::string("123456789012345"),
                                  std::string("1234567890123456"), std::string(200, 'x')}) {
    const std::string enc = En(text, kKey);
    EXPECT_EQ(enc.size(), 4 + 16 * (text.size() / 8 + 1)) << text;
    EXPECT_EQ(enc.find_first_not_of("0123456789ABCDEF", 4), std::string::npos) << enc;
    EXPECT_EQ(De(enc, kKey), std::make_pair(0, text));
  }
  std::string in_place = En("in place text", kKey);
  EXPECT_EQ(ZUSTRNG_DeSeral2(in_place.data(), in_place.data(), kKey), 0);
  EXPECT_STREQ(in_place.c_str(), "in place text");
  // Random filler: encipherments of one short text differ, each deciphers.
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
}

TEST(Seral, OtherTextsComeBackUnchanged) {
  for (const char *text : {"ls --10AB", "--11" "2A03153AC81123C0", "--102A03153AC81123C", "2A03153AC81123C0", "-", "",
                           "\xAD-102A03153AC81123C0"})
    EXPECT_EQ(De(text, kKey), std::make_pair(1, std::string(text))) << text;
  char out[8] = "keep";  // a header alone is an enciphered empty area
  EXPECT_EQ(ZUSTRNG_DeSeral2(out, "--10", kKey), 0);
  EXPECT_STREQ(out, "keep");
}

TEST(Seral, KeyRules) {
  EXPECT_EQ(De(En("secret", "Hm3Tx#6qAAA"), "Hm3Tx#6qBBBBBBBBBB").second, "secret");  // 8 bytes count
  EXPECT_NE(De(En("secret", "Hm3Tx#6q"), "Hm3Tx#6r").second, "secret");
  // The suffix-2 calls leave no key behind: the next call without a key uses
  // the default key, whatever key the suffix-2 call used.
  const std::string enc = En("by default", nullptr);
  De(enc, kKey);
  EXPECT_EQ(keyx[0], '\0');
  char out[64] = {};
  EXPECT_EQ(ZUSTRNG_DeSeral(out, enc.c_str()), 0);
  EXPECT_STREQ(out, "by default");
  initkey(kKey);  // calls without the suffix keep the key they find
  ZUSTRNG_EnSeral(out, "kept key");
  EXPECT_EQ(De(out, kKey).second, "kept key");
  EXPECT_EQ(De(En("empty key", ""), nullptr).second, "empty key");
}

TEST(Seral, ByteAreas) {
  struct Row { std::string data; const char *key; int enc_len; };
  const Row rows[] = {{"0123456789abcdef", kKey, 16}, {std::string("\0\x7f\xff", 3), kKey, 9},
                      {"thirteen byte", nullptr, 17}, {"", nullptr, 0}};
  for (const Row &r : rows) {
    char enc[32], dec[32];
    const int n = r.key ? ZUSTRNG_EnSeralBin2(enc, r.data.data(), (int)r.data.size(), r.key)
                        : ZUSTRNG_EnSeralBin(enc, r.data.data(), (int)r.data.size());
    ASSERT_EQ(n, r.enc_len) << r.data;
    if (n % 8) { EXPECT_EQ(enc[n - 1], (char)(r.data.size() % 8)); }  // the count byte of a short rest
    const int back = r.key ? ZUSTRNG_DeSeralBin2(dec, enc, n, r.key) : ZUSTRNG_DeSeralBin(dec, enc, n);
    EXPECT_EQ(std::string(dec, back), r.data);
  }
  char dec[24], enc[24] = "0123456789abcdef\x09";
  EXPECT_EQ(ZUSTRNG_DeSeralBin(dec, "\x03", 1), 0);  // a count byte without a block
  EXPECT_EQ(ZUSTRNG_DeSeralBin(dec, enc, 17), 16);   // a last byte that is no count (1-7)
}

}  // namespace
