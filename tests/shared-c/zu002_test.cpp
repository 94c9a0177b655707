#include "zu002.h"

#include <gtest/gtest.h>

#include <set>

#include "src/rows.h"
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

TEST(Seral, KnownFormsOtherTextsLengthsAndRoundTrips) {
  const int known = wqtest::ForEachCall([](const std::string &f, wqtest::Row &r) {
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
    if (n % 8) EXPECT_EQ(enc[n - 1], (char)(r.data.size() % 8));  // the count byte of a short rest
    const int back = r.key ? ZUSTRNG_DeSeralBin2(dec, enc, n, r.key) : ZUSTRNG_DeSeralBin(dec, enc, n);
    EXPECT_EQ(std::string(dec, back), r.data);
  }
  char dec[24];
  EXPECT_EQ(ZUSTRNG_DeSeralBin(dec, "\x03", 1), 0);  // a count byte without a block
  EXPECT_EQ(ZUSTRNG_DeSeralBin(dec, "0123456789abcdef\x09", 17), 16);   // a last byte that is no count (1-7)
}

}  // namespace
