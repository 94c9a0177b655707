#include "zudnst_match.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// Reference matcher: plain recursion over the definition.
bool ref_match(const char *s, const char *m, char more, char one) {
  if (*m == '\0') return *s == '\0';
  if (more && *m == more) return ref_match(s, m + 1, more, one) || (*s && ref_match(s + 1, m, more, one));
  if (*s == '\0') return false;
  if ((one && *m == one) || *m == *s) return ref_match(s + 1, m + 1, more, one);
  return false;
}

struct MatchCase {
  const char *str;
  const char *mask;
  int expected;
};

}  // namespace

TEST(MyStrMatch, TableOfMasks) {
  const MatchCase cases[] = {
      {"abc", "a*c", 1},      {"ac", "a*c", 1},        {"abxc", "a*c", 1},      {"abcd", "a*c", 0},
      {"abc", "a?c", 1},      {"ac", "a?c", 0},        {"", "*", 1},            {"", "", 1},
      {"a", "", 0},           {"", "?", 0},            {"", "**", 1},           {"abc", "abc", 1},
      {"abc", "ab", 0},       {"ab", "abc", 0},        {"abc", "*", 1},         {"abc", "***", 1},
      {"abc", "?*", 1},       {"abc", "*?", 1},        {"abc", "????", 0},      {"abc", "???", 1},
      {"abcabc", "*bc", 1},   {"abcabd", "*bc", 0},    {"aaab", "*aab", 1},     {"aab", "*a*b", 1},
      {"abab", "*ab*ab", 1},  {"abab", "*ab*ab*", 1},  {"ab", "*ab*ab", 0},     {"mississippi", "m*iss*ppi", 1},
      {"mississippi", "m*is*sip*", 1}, {"mississippi", "m*x*", 0}, {"a*b", "a*b", 1}, {"axb", "a\\*b", 0},
      {"file.txt", "*.txt", 1}, {"file.txt.bak", "*.txt", 0}, {"file.txt", "f?le.*", 1}, {"FILE.TXT", "*.txt", 0},
      {"abc", "a**c", 1},     {"ac", "a**c", 1},       {"abc", "*b", 0},        {"abc", "b*", 0},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(MyStrMatch(c.str, c.mask, '*', '?'), c.expected) << c.str << " / " << c.mask;
    EXPECT_EQ(ref_match(c.str, c.mask, '*', '?') ? 1 : 0, c.expected) << "reference " << c.str << " / " << c.mask;
  }
}

TEST(MyStrMatch, WildcardsOfOwnChoiceAndSwitchedOff) {
  struct Case {
    const char *str, *mask;
    char more, one;
    int expected;
  };
  for (const Case &c : std::vector<Case>{{"a?c", "a?c", '*', 0, 1}, {"abc", "a?c", '*', 0, 0},
                                         {"a*c", "a*c", 0, '?', 1}, {"abc", "a*c", 0, '?', 0},
                                         {"abcd", "abc", 0, 0, 0},  {"xyz", "x%", '%', '_', 1},
                                         {"xyz", "_y_", '%', '_', 1}, {"xyz", "*", '%', '_', 0},
                                         {nullptr, "*", '*', '?', 0}, {"a", nullptr, '*', '?', 0}})
    EXPECT_EQ(MyStrMatch(c.str, c.mask, c.more, c.one), c.expected) << (c.str ? c.str : "-") << " / " << (c.mask ? c.mask : "-");
}

TEST(MyStrMatch, AgreesWithReferenceOnRandomTexts) {
  std::mt19937 rng(20261206);
  const char text_chars[] = "abc";
  const char mask_chars[] = "abc*?";
  int matches = 0;
  for (int round = 0; round < 4000; ++round) {
    std::string s, m;
    int slen = (int)(rng() % 9);
    int mlen = (int)(rng() % 7);
    for (int i = 0; i < slen; ++i) s += text_chars[rng() % 3];
    for (int i = 0; i < mlen; ++i) m += mask_chars[rng() % 5];
    // Alternate wildcard settings, including switched-off ones.
    char more = round % 3 == 1 ? 0 : '*';
    char one = round % 3 == 2 ? 0 : '?';
    int expected = ref_match(s.c_str(), m.c_str(), more, one) ? 1 : 0;
    matches += expected;
    ASSERT_EQ(MyStrMatch(s.c_str(), m.c_str(), more, one), expected)
        << "text '" << s << "' mask '" << m << "' more " << (int)more << " one " << (int)one;
  }
  // Both outcomes must be well represented for the comparison to mean much.
  EXPECT_GT(matches, 200);
  EXPECT_LT(matches, 3800);
}

TEST(StrMatchPtr, PositionsAndMaskLeftAlone) {
  char text[] = "abcdef";
  struct PtrCase {
    const char *mask;
    int pos;  // -1: null
  } cases[] = {
      {"abc", 0},  {"abd", -1},    {"", 0},      {"ab?", -1},   {"*cd*", 2},  {"*", 0},
      {"*ef", 4},  {"*e", -1},     {"a*f", 0},   {"a*e", -1},   {"?b*", 0},   {"*c?e*", 2},
      {"*x*", -1}, {"abcdef", 0},  {"abcdefg", -1}, {"*?f", 4},  {"**ef", 0},  {"b*", -1},
  };
  for (const auto &c : cases) {
    char mask[32];
    strcpy(mask, c.mask);
    char *r = strMatchPtr(text, mask, '*', '?');
    EXPECT_EQ(r ? (int)(r - text) : -1, c.pos) << c.mask;
    EXPECT_STREQ(mask, c.mask);
  }
  char abc[] = "abc";
  EXPECT_EQ(strMatchPtr(abc, "ab?", '*', '?'), abc);
  // The match that ends the text is the one found, not an earlier one.
  char twice[] = "cdxcd";
  EXPECT_EQ(strMatchPtr(twice, "*cd", '*', '?'), twice + 3);
  // A wildcard given as 0 counts as present: no plain prefix comparison.
  EXPECT_EQ(strMatchPtr(text, "abc", '*', 0), nullptr);
  EXPECT_EQ(strMatchPtr(text, "abcdef", '*', 0), text);
  EXPECT_EQ(strMatchPtr(nullptr, "a", '*', '?'), nullptr);
}

TEST(StrMatchPtr, AgreesWithReferenceOnRandomTexts) {
  // Without a plain prefix mask, strMatchPtr finds something exactly when the
  // whole text matches the mask, and the text from the place it returns
  // matches the mask without its leading `more`.
  std::mt19937 rng(4711);
  for (int round = 0; round < 2000; ++round) {
    std::string s, m;
    int slen = (int)(rng() % 8);
    int mlen = 1 + (int)(rng() % 5);
    for (int i = 0; i < slen; ++i) s += "ab"[rng() % 2];
    for (int i = 0; i < mlen; ++i) m += "ab*?"[rng() % 4];
    std::vector<char> text(s.begin(), s.end());
    text.push_back('\0');
    char *r = strMatchPtr(text.data(), m.c_str(), '*', '?');
    bool plain = m.find_first_of("*?") == std::string::npos;
    bool expect_any = plain ? s.compare(0, m.size(), m) == 0 : ref_match(s.c_str(), m.c_str(), '*', '?');
    ASSERT_EQ(r != nullptr, expect_any) << "text '" << s << "' mask '" << m << "'";
    std::string core = m[0] == '*' ? m.substr(1) : m;
    if (r && !plain && !core.empty()) {
      ASSERT_TRUE(ref_match(r, core.c_str(), '*', '?')) << "text '" << s << "' mask '" << m << "'";
    }
    if (r && m[0] != '*') {
      ASSERT_EQ(r, text.data());
    }
  }
}

TEST(Strccmp, PrefixWithOneCharacterWildcard) {
  struct Case {
    const char *str, *mask;
    char one;
    int expected;
  };
  for (const Case &c : std::vector<Case>{{"abc", "a?c", '?', 1}, {"abcd", "a?c", '?', 1}, {"ab", "abc", '?', 0},
                                         {"ab", "ab?", '?', 0},  {"a?c", "a?c", 0, 1},     {"abc", "a?c", 0, 0},
                                         {"abc", "", '?', 1}})
    EXPECT_EQ(strccmp(c.str, c.mask, c.one), c.expected) << c.str << " / " << c.mask;
  char text[] = "xxabc";
  for (auto [mask, pos] : std::vector<std::pair<const char *, int>>{
           {"a?c", 2}, {"x", 0}, {"?", 0}, {"bc?", -1}, {"", 0}, {"c", 4}}) {
    char *r = strcstr(text, mask, '?');
    EXPECT_EQ(r ? (int)(r - text) : -1, pos) << mask;
  }
}

TEST(FixLenReorg, FirstWordAndLeadingSpaces) {
  char f[8] = {' ', ' ', 'a', 'b', ' ', 'c', 'd', 'Z'};
  fix_len_reorg(f, 7);
  EXPECT_EQ(std::string(f, 8), "ab     Z");

  char g[8] = {' ', ' ', 'a', 'b', ' ', 'c', 'd', 'Z'};
  fix_len_reorg2(g, 7);
  EXPECT_EQ(std::string(g, 8), std::string("ab cd\0dZ", 8));

  // A word that fills the field, a field of spaces, a NUL ending the word.
  char h[5] = {'w', 'o', 'r', 'd', 'Z'};
  fix_len_reorg(h, 4);
  EXPECT_EQ(std::string(h, 5), "wordZ");
  char s[4] = {' ', ' ', ' ', 'Z'};
  fix_len_reorg(s, 3);
  EXPECT_EQ(std::string(s, 4), "   Z");
  char n[6] = {' ', 'a', '\0', 'b', 'c', 'Z'};
  fix_len_reorg(n, 5);
  EXPECT_EQ(std::string(n, 6), "a    Z");

  // A full field without leading spaces gets no NUL behind it.
  char full[5] = {'a', 'b', 'c', 'd', 'Z'};
  fix_len_reorg2(full, 4);
  EXPECT_EQ(std::string(full, 5), "abcdZ");
  char spaced[5] = {' ', 'a', 'b', 'c', 'Z'};
  fix_len_reorg2(spaced, 4);
  EXPECT_EQ(std::string(spaced, 5), std::string("abc\0Z", 5));
  fix_len_reorg(nullptr, 4);
  fix_len_reorg2(full, 0);
}

TEST(ExpandEnvironmentStrings, ReferencesAndBounds) {
  setenv("WQ_TEST_HOME", "/h", 1);
  unsetenv("WQ_TEST_UNSET");
  char out[64];
  EXPECT_EQ(ExpandEnvironmentStringsA("x%WQ_TEST_HOME%y", out, sizeof out), 4);
  EXPECT_STREQ(out, "x/hy");
  EXPECT_EQ(ExpandEnvironmentStringsA("x%WQ_TEST_UNSET%y", out, sizeof out), 2);
  EXPECT_STREQ(out, "xy");
  EXPECT_EQ(ExpandEnvironmentStringsA("x%WQ_TEST_HOME", out, sizeof out), 3);
  EXPECT_STREQ(out, "x/h");
  EXPECT_EQ(ExpandEnvironmentStringsA("a%%b", out, sizeof out), 2);
  EXPECT_STREQ(out, "ab");
  EXPECT_EQ(ExpandEnvironmentStringsA("", out, sizeof out), 0);
  EXPECT_EQ(ExpandEnvironmentStringsA(nullptr, out, sizeof out), 0);

  // Output is cut to logSize - 1; nothing is written behind the bound.
  char small[6];
  memset(small, 'Q', sizeof small);
  EXPECT_EQ(ExpandEnvironmentStringsA("ab%WQ_TEST_HOME%cdef", small, 5), 4);
  EXPECT_STREQ(small, "ab/h");
  EXPECT_EQ(small[5], 'Q');
  EXPECT_EQ(ExpandEnvironmentStringsA("abc", small, 1), 0);
  EXPECT_STREQ(small, "");
  EXPECT_EQ(ExpandEnvironmentStringsA("abc", small, 0), 0);

  // Names are cut to 63 characters.
  std::string name(63, 'N');
  setenv(name.c_str(), "v", 1);
  std::string ref = "%" + name + "XYZ%";
  EXPECT_EQ(ExpandEnvironmentStringsA(ref.c_str(), out, sizeof out), 1);
  EXPECT_STREQ(out, "v");
  unsetenv(name.c_str());

  // The input is taken up to 2047 characters.
  std::string longtext(3000, 'z');
  std::vector<char> big(4000);
  EXPECT_EQ(ExpandEnvironmentStringsA(longtext.c_str(), big.data(), (int)big.size()), 2047);
}

TEST(GetRestField, FieldsWithOwnDelimiters) {
  const char area[] = "A=/x y/B=#z#";
  const int len = (int)strlen(area);
  char out[16];
  EXPECT_EQ(GetRestField(area, len, 'B', out, sizeof out), 1);
  EXPECT_STREQ(out, "z");
  EXPECT_EQ(GetRestField(area, len, 'A', out, sizeof out), 1);
  EXPECT_STREQ(out, "x y");
  EXPECT_EQ(GetRestField(area, len, 'D', out, sizeof out), 0);
  // A value longer than the buffer is cut to fit, the result stays 1.
  char small[3];
  memset(small, 'Q', sizeof small);
  EXPECT_EQ(GetRestField(area, len, 'A', small, sizeof small), 1);
  EXPECT_EQ(std::string(small, 3), std::string("x \0", 3));
  // The area ends before the closing delimiter; a field without "=".
  EXPECT_EQ(GetRestField(area, len - 1, 'B', out, sizeof out), 0);
  EXPECT_EQ(GetRestField(area, 5, 'A', out, sizeof out), 0);
  EXPECT_EQ(GetRestField("A:/x/", 5, 'A', out, sizeof out), 0);
  EXPECT_EQ(GetRestField("A=/x/B=", 7, 'B', out, sizeof out), 0);
  // Empty value, and the data ends at the given length, not at a NUL.
  EXPECT_EQ(GetRestField("A=//", 4, 'A', out, sizeof out), 1);
  EXPECT_STREQ(out, "");
  const char with_nul[] = {'A', '=', '/', 'a', '\0', 'b', '/'};
  EXPECT_EQ(GetRestField(with_nul, 7, 'A', out, sizeof out), 1);
  EXPECT_EQ(memcmp(out, "a\0b", 4), 0);
  EXPECT_EQ(GetRestField(area, len, 'A', out, 0), 0);
}

TEST(GetAttribute, NameValueLists) {
  const char list[] = "USER=bob,ID=7,EMPTY=,LAST=end";
  char out[16];
  EXPECT_EQ(GetAttribute(list, 0, "ID", out, sizeof out), 1);
  EXPECT_STREQ(out, "7");
  EXPECT_EQ(GetAttribute(list, 0, "USER", out, sizeof out), 1);
  EXPECT_STREQ(out, "bob");
  EXPECT_EQ(GetAttribute(list, 0, "LAST", out, sizeof out), 1);
  EXPECT_STREQ(out, "end");
  EXPECT_EQ(GetAttribute(list, 0, "EMPTY", out, sizeof out), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(GetAttribute(list, 0, "NONE", out, sizeof out), 0);
  EXPECT_EQ(GetAttribute("NAME", 0, "NAME", out, sizeof out), 0);
  // A plain substring search: "SER" finds inside USER.
  EXPECT_EQ(GetAttribute(list, 0, "SER", out, sizeof out), 1);
  EXPECT_STREQ(out, "bob");
  // Cut at the buffer size with result 1.
  char small[3];
  memset(small, 'Q', sizeof small);
  EXPECT_EQ(GetAttribute(list, 0, "USER", small, sizeof small), 1);
  EXPECT_EQ(std::string(small, 3), std::string("bo\0", 3));
  // A given length bounds the text.
  EXPECT_EQ(GetAttribute(list, 7, "USER", out, sizeof out), 1);
  EXPECT_STREQ(out, "bo");
  EXPECT_EQ(GetAttribute(list, 4, "USER", out, sizeof out), 0);
}

TEST(GetHexString, HexAndCharacterView) {
  const unsigned char bytes[] = {0x41, 0x42, 0x00, 0x7F, 0x31};
  char out[128];
  GetHexString(bytes, 5, out, sizeof out);
  std::string expected = "'4142007F 31'";
  expected += std::string(40 - expected.size(), ' ') + ">AB..1<";
  EXPECT_EQ(std::string(out), expected);

  // Cut to the buffer, always terminated.
  char small[6];
  memset(small, 'Q', sizeof small);
  GetHexString(bytes, 5, small, sizeof small);
  EXPECT_STREQ(small, "'4142");

  // A long area: the hex part is cut within 511 characters, no character view.
  std::vector<unsigned char> many(600, 0xAB);
  std::vector<char> big(1024, 'Q');
  GetHexString(many.data(), (int)many.size(), big.data(), (int)big.size());
  std::string text(big.data());
  EXPECT_LE(text.size(), 511u);
  EXPECT_GT(text.size(), 500u);
  EXPECT_EQ(text.find('>'), std::string::npos);
  EXPECT_EQ(text.compare(0, 12, "'ABABABAB AB"), 0);

  GetHexString(bytes, 0, out, sizeof out);
  EXPECT_EQ(std::string(out), "''" + std::string(38, ' ') + "><");
}

TEST(CnvIntToChar, RightAlignedDigits) {
  char out[40];
  memset(out, 'Q', sizeof out);
  char *r = CnvIntToChar(1234, out, 33);
  EXPECT_STREQ(r, "1234");
  EXPECT_EQ(r, out + 28);
  EXPECT_EQ(std::string(out, 28), std::string(28, ' '));
  EXPECT_EQ(out[33], 'Q');

  r = CnvIntToChar(0, out, 33);
  EXPECT_EQ(r, out);
  EXPECT_STREQ(out, "0");

  r = CnvIntToChar(18446744073709551615UL, out, 40);
  EXPECT_STREQ(r, "18446744073709551615");
  EXPECT_EQ(r, out + 12);

  // A smaller buffer moves the field's end; digits that cannot fit give "".
  char small[8];
  memset(small, 'Q', sizeof small);
  r = CnvIntToChar(42, small, 6);
  EXPECT_STREQ(r, "42");
  EXPECT_EQ(r, small + 3);
  EXPECT_EQ(small[6], 'Q');
  r = CnvIntToChar(1234567, small, 6);
  EXPECT_EQ(r, small);
  EXPECT_STREQ(small, "");
}

TEST(Convert2Hex, SizeRuleAndDigits) {
  const unsigned char in[] = {0x00, 0xAF, 0x5C};
  char out[16];
  memset(out, 'Q', sizeof out);
  EXPECT_EQ(convert2hex(in, 3, out, 7), -1);
  EXPECT_EQ(out[0], 'Q');
  EXPECT_EQ(convert2hex(in, 3, out, 8), 0);
  EXPECT_STREQ(out, "00AF5C");
  EXPECT_EQ(out[7], 'Q');
  EXPECT_EQ(convert2hex(in, 0, out, 2), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(convert2hex(in, -1, out, 8), -1);
}
