#include "zudnst_match.h"

#include <gtest/gtest.h>

#include <random>

#include "src/rows.h"

namespace {

// Reference matcher: plain recursion over the definition.
bool Ref(const char *s, const char *m, char more, char one) {
  if (*m == '\0') return *s == '\0';
  if (more && *m == more) return Ref(s, m + 1, more, one) || (*s && Ref(s + 1, m, more, one));
  return *s && ((one && *m == one) || *m == *s) && Ref(s + 1, m + 1, more, one);
}

// Random texts and masks, some with a wildcard switched off, against the reference.
TEST(Match, AgreesWithTheDefinition) {
  std::mt19937 rng(20261206);
  const auto random = [&rng](const char *alphabet, size_t max_len) {
    std::string s(rng() % (max_len + 1), ' ');
    for (char &c : s) c = alphabet[rng() % strlen(alphabet)];
    return s;
  };
  int matches = 0;
  for (int round = 0; round < 4000; ++round) {
    const std::string s = random("abc", 8), m = random("abc*?", 6);
    const char more = round % 3 == 1 ? 0 : '*', one = round % 3 == 2 ? 0 : '?';
    matches += Ref(s.c_str(), m.c_str(), more, one);
    ASSERT_EQ(MyStrMatch(s.c_str(), m.c_str(), more, one), Ref(s.c_str(), m.c_str(), more, one)) << s << " / " << m;
  }
  EXPECT_TRUE(matches > 200 && matches < 3800) << matches;  // both outcomes well represented
}

// Without a result area nothing is found; the hex part of a long area is cut
// at a whole piece within 511 characters, without the text view.
TEST(Match, NoResultAreaAndLongHexTexts) {
  EXPECT_EQ(GetAttribute("ID=7", 0, "ID", nullptr, 16), 0);
  std::vector<unsigned char> many(600, 0xAB);
  wqtest::Area big;
  const std::string text = GetHexString(many.data(), (int)many.size(), big, 1024);
  EXPECT_TRUE(text.size() > 500 && text.size() <= 511 && text.find('>') == std::string::npos) << text.size();
}

}  // namespace
