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

std::string Random(std::mt19937 &rng, const char *alphabet, size_t max_len) {
  std::string s(rng() % (max_len + 1), ' ');
  for (char &c : s) c = alphabet[rng() % strlen(alphabet)];
  return s;
}

TEST(Match, CallsOfTheTable) {
  setenv("WQ_TEST_HOME", "/h", 1);
  unsetenv("WQ_TEST_UNSET");
  setenv(std::string(63, 'N').c_str(), "v", 1);
  const int known = wqtest::ForEachCall([](const std::string &f, wqtest::Row &r) {
    wqtest::Area out;
    if (f == "MyStrMatch") {
      EXPECT_EQ(MyStrMatch(r.p(0), r.p(1), r.ch(2), r.ch(3)), r.n(4));
    } else if (f == "strMatchPtr" || f == "strcstr") {
      char *s = r.p(0), *mask = r.p(1);
      const char *at = f == "strcstr" ? strcstr(s, mask, r.ch(2)) : strMatchPtr(s, mask, '*', r.ch(2));
      EXPECT_EQ(at ? at - s : -1, r.n(3));
      EXPECT_EQ(mask, r.s(1));  // the mask stays as it was
    } else if (f == "strccmp") {
      EXPECT_EQ(strccmp(r.p(0), r.p(1), r.ch(2)), r.n(3));
    } else if (f == "fix_len_reorg" || f == "fix_len_reorg2") {
      char *field = r.p(0);
      (f == "fix_len_reorg" ? fix_len_reorg : fix_len_reorg2)(field, field ? (int)r.bytes[0].size() - 1 : 4);
      if (field) EXPECT_EQ(r.bytes[0], r.s(1));
    } else if (f == "ExpandEnvironmentStringsA") {
      EXPECT_EQ(ExpandEnvironmentStringsA(r.p(0), out, (int)r.n(1)), r.n(2));
      r.Wrote(out, 3, r.n(1));
    } else if (f == "GetRestField") {
      EXPECT_EQ(GetRestField(r.p(0), (int)r.n(1), r.ch(2), out, (unsigned)r.n(3)), r.n(4));
      r.Wrote(out, 5, r.n(3));
    } else if (f == "GetAttribute") {
      EXPECT_EQ(GetAttribute(r.p(0), (int)r.n(1), r.p(2), out, (unsigned)r.n(3)), r.n(4));
      r.Wrote(out, 5, r.n(3));
    } else if (f == "GetHexString") {
      EXPECT_EQ(GetHexString(r.p(0), (int)r.n(1), out, (int)r.n(2)), (char *)out);
      r.Wrote(out, 3, r.n(2));
    } else if (f == "CnvIntToChar") {
      EXPECT_EQ(CnvIntToChar(r.u(0), out, (int)r.n(1)), out + r.n(2));
      r.Wrote(out, 3, r.n(1));
    } else if (f == "convert2hex") {
      EXPECT_EQ(convert2hex((unsigned char *)r.p(0), (int)r.n(1), out, (int)r.n(2)), r.n(3));
      r.Wrote(out, 4, r.n(2));
    } else {
      return false;
    }
    return true;
  });
  EXPECT_EQ(known, 91);
  EXPECT_EQ(GetAttribute("ID=7", 0, "ID", nullptr, 16), 0);
  // The hex part of a long area is cut at a whole piece within 511 characters, without the text view.
  std::vector<unsigned char> many(600, 0xAB);
  wqtest::Area big;
  const std::string text = GetHexString(many.data(), (int)many.size(), big, 1024);
  EXPECT_TRUE(text.size() > 500 && text.size() <= 511 && text.find('>') == std::string::npos) << text.size();
}

// Random texts and masks against the reference: the whole text, and where a
// mask matches (found when the whole text matches, the text from there on
// matching the mask without its leading '*').
TEST(Match, AgreesWithTheDefinition) {
  std::mt19937 rng(20261206);
  int matches = 0;
  for (int round = 0; round < 4000; ++round) {
    const std::string s = Random(rng, "abc", 8), m = Random(rng, "abc*?", 6);
    const char more = round % 3 == 1 ? 0 : '*', one = round % 3 == 2 ? 0 : '?';  // some switched off
    matches += Ref(s.c_str(), m.c_str(), more, one);
    ASSERT_EQ(MyStrMatch(s.c_str(), m.c_str(), more, one), Ref(s.c_str(), m.c_str(), more, one)) << s << " / " << m;
  }
  EXPECT_TRUE(matches > 200 && matches < 3800) << matches;  // both outcomes well represented
  for (int round = 0; round < 2000; ++round) {
    std::string s = Random(rng, "ab", 7), m = Random(rng, "ab*?", 4) + "ab*?"[rng() % 4];
    const char *at = strMatchPtr(s.data(), m.c_str(), '*', '?');
    const bool plain = m.find_first_of("*?") == std::string::npos;
    ASSERT_EQ(at != nullptr, plain ? s.compare(0, m.size(), m) == 0 : Ref(s.c_str(), m.c_str(), '*', '?')) << s << " / " << m;
    const std::string core = m[0] == '*' ? m.substr(1) : m;
    if (at) ASSERT_TRUE(m[0] == '*' ? plain || core.empty() || Ref(at, core.c_str(), '*', '?') : at == s.data()) << s << " / " << m;
  }
}

}  // namespace
