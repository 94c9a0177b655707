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

// Each case runs `f` on a copy of `field` (the first `len` bytes) and
// compares all bytes, including one behind the field.
TEST(FixLenReorg, FirstWordAndLeadingSpaces) {
  struct Case {
    void (*f)(char *, int);
    std::string field, after;
  };
  const std::vector<Case> cases = {
      {fix_len_reorg, "  ab cdZ", "ab     Z"},
      {fix_len_reorg2, "  ab cdZ", std::string("ab cd\0dZ", 8)},
      {fix_len_reorg, "wordZ", "wordZ"},  // a word that fills the field
      {fix_len_reorg, "   Z", "   Z"},
      {fix_len_reorg, std::string(" a\0bcZ", 6), "a    Z"},  // a NUL ends the word
      {fix_len_reorg2, "abcdZ", "abcdZ"},                  // full field: no NUL behind it
      {fix_len_reorg2, " abcZ", std::string("abc\0Z", 5)},
      {fix_len_reorg2, "abcdZ", "abcdZ"}};
  for (size_t i = 0; i < cases.size(); ++i) {
    std::string f = cases[i].field;
    cases[i].f(f.data(), i + 1 == cases.size() ? 0 : (int)f.size() - 1);
    EXPECT_EQ(f, cases[i].after) << i;
  }
  fix_len_reorg(nullptr, 4);
}

TEST(ExpandEnvironmentStrings, ReferencesAndBounds) {
  setenv("WQ_TEST_HOME", "/h", 1);
  unsetenv("WQ_TEST_UNSET");
  std::string name(63, 'N');  // names are cut to 63 characters
  setenv(name.c_str(), "v", 1);
  struct Case {
    std::string in;
    int size, result;
    const char *out;
  };
  const std::vector<Case> cases = {
      {"x%WQ_TEST_HOME%y", 64, 4, "x/hy"}, {"x%WQ_TEST_UNSET%y", 64, 2, "xy"}, {"x%WQ_TEST_HOME", 64, 3, "x/h"},
      {"a%%b", 64, 2, "ab"},               {"", 64, 0, ""},                     {"%" + name + "XYZ%", 64, 1, "v"},
      // Output cut to size - 1; nothing written behind the bound.
      {"ab%WQ_TEST_HOME%cdef", 5, 4, "ab/h"}, {"abc", 1, 0, ""}};
  for (const Case &c : cases) {
    char out[80];
    memset(out, 'Q', sizeof out);
    EXPECT_EQ(ExpandEnvironmentStringsA(c.in.c_str(), out, c.size), c.result) << c.in;
    EXPECT_STREQ(out, c.out) << c.in;
    EXPECT_EQ(out[c.size], 'Q');
  }
  unsetenv(name.c_str());
  char out[4] = "Q";
  EXPECT_EQ(ExpandEnvironmentStringsA("abc", out, 0), 0);
  EXPECT_EQ(ExpandEnvironmentStringsA(nullptr, out, sizeof out), 0);
  // The input is taken up to 2047 characters.
  std::string longtext(3000, 'z');
  std::vector<char> big(4000);
  EXPECT_EQ(ExpandEnvironmentStringsA(longtext.c_str(), big.data(), (int)big.size()), 2047);
}

// Fields and attributes: results cut to the caller's size with result 1,
// reading bounded by the given length (0 for GetAttribute: up to the NUL).
TEST(FieldsAndAttributes, ValuesCutToTheBufferAndBoundedByTheLength) {
  const char area[] = "A=/x y/B=#z#";
  const int len = (int)strlen(area);
  const char with_nul[] = {'A', '=', '/', 'a', '\0', 'b', '/'};
  struct Field {
    const char *area;
    int len;
    char key;
    int size, result;
    std::string out;
  };
  const std::vector<Field> fields = {
      {area, len, 'B', 16, 1, std::string("z\0", 2)}, {area, len, 'A', 16, 1, std::string("x y\0", 4)},
      {area, len, 'D', 16, 0, ""},                    {area, len, 'A', 3, 1, std::string("x \0", 3)},
      {area, len - 1, 'B', 16, 0, ""},  // the area ends before the closing delimiter
      {area, 5, 'A', 16, 0, ""},        {"A:/x/", 5, 'A', 16, 0, ""}, {"A=/x/B=", 7, 'B', 16, 0, ""},
      {"A=//", 4, 'A', 16, 1, std::string("\0", 1)},  {with_nul, 7, 'A', 16, 1, std::string("a\0b\0", 4)},
      {area, len, 'A', 0, 0, ""}};
  // Runs `call` on a 24-byte buffer filled with 'Q': its result, the bytes it
  // wrote, and the byte behind the `size` it was given (untouched).
  auto check = [](auto call, int size, int result, const std::string &want, const std::string &what) {
    char out[24];
    memset(out, 'Q', sizeof out);
    EXPECT_EQ(call(out), result) << what;
    EXPECT_EQ(std::string(out, want.size()), want) << what;
    EXPECT_EQ(out[size], 'Q') << what;
  };
  for (const Field &f : fields)
    check([&](char *out) { return GetRestField(f.area, f.len, f.key, out, f.size); }, f.size, f.result, f.out,
          std::to_string(f.len).insert(0, 1, f.key));

  const char list[] = "USER=bob,ID=7,EMPTY=,LAST=end";
  struct Attr {
    const char *list;
    int len;
    const char *name;
    int size, result;
    std::string out;
  };
  const std::vector<Attr> attrs = {
      {list, 0, "ID", 16, 1, std::string("7\0", 2)},     {list, 0, "USER", 16, 1, std::string("bob\0", 4)},
      {list, 0, "LAST", 16, 1, std::string("end\0", 4)}, {list, 0, "EMPTY", 16, 0, std::string("\0", 1)},
      {list, 0, "NONE", 16, 0, ""},                      {"NAME", 0, "NAME", 16, 0, ""},
      {list, 0, "SER", 16, 1, std::string("bob\0", 4)},  // a plain substring search
      {list, 0, "USER", 3, 1, std::string("bo\0", 3)},   {list, 7, "USER", 16, 1, std::string("bo\0", 3)},
      {list, 4, "USER", 16, 0, ""}};
  for (const Attr &a : attrs)
    check([&](char *out) { return GetAttribute(a.list, a.len, a.name, out, a.size); }, a.size, a.result, a.out,
          a.name + std::to_string(a.len));
}

TEST(GetHexString, HexAndCharacterView) {
  const unsigned char bytes[] = {0x41, 0x42, 0x00, 0x7F, 0x31};
  char out[128];
  GetHexString(bytes, 5, out, sizeof out);
  EXPECT_EQ(std::string(out), "'4142007F 31'" + std::string(27, ' ') + ">AB..1<");
  GetHexString(bytes, 0, out, sizeof out);
  EXPECT_EQ(std::string(out), "''" + std::string(38, ' ') + "><");
  char small[7];
  memset(small, 'Q', sizeof small);
  GetHexString(bytes, 5, small, 6);  // cut to the buffer, always terminated
  EXPECT_EQ(std::string(small, 7), std::string("'4142\0Q", 7));

  // A long area: the hex part is cut within 511 characters, no character view.
  std::vector<unsigned char> many(600, 0xAB);
  std::vector<char> big(1024, 'Q');
  GetHexString(many.data(), (int)many.size(), big.data(), (int)big.size());
  std::string text(big.data());
  EXPECT_TRUE(text.size() > 500 && text.size() <= 511) << text.size();
  EXPECT_EQ(text.find('>'), std::string::npos);
  EXPECT_EQ(text.compare(0, 12, "'ABABABAB AB"), 0);
}

TEST(NumberTexts, RightAlignedDigitsAndHexPairs) {
  struct Case {
    unsigned long v;
    int size, at;
    const char *digits;
  };
  // A smaller buffer moves the field's end; digits that cannot fit give "".
  for (const Case &c : std::vector<Case>{{1234, 33, 28, "1234"}, {0, 33, 0, "0"},
                                         {18446744073709551615UL, 40, 12, "18446744073709551615"},
                                         {42, 6, 3, "42"}, {1234567, 6, 0, ""}}) {
    char out[48];
    memset(out, 'Q', sizeof out);
    char *r = CnvIntToChar(c.v, out, c.size);
    EXPECT_EQ(r, out + c.at) << c.v;
    EXPECT_STREQ(r, c.digits);
    EXPECT_EQ(std::string(out, (size_t)c.at), std::string((size_t)c.at, ' '));
    EXPECT_EQ(out[c.size], 'Q');
  }

  const unsigned char in[] = {0x00, 0xAF, 0x5C};
  char out[16];
  memset(out, 'Q', sizeof out);
  EXPECT_EQ(convert2hex(in, 3, out, 7), -1);  // two digits a byte and the terminator
  EXPECT_EQ(out[0], 'Q');
  EXPECT_EQ(convert2hex(in, 3, out, 8), 0);
  EXPECT_EQ(std::string(out, 8), std::string("00AF5C\0Q", 8));
  EXPECT_EQ(convert2hex(in, 0, out, 2), 0);
  EXPECT_STREQ(out, "");
  EXPECT_EQ(convert2hex(in, -1, out, 8), -1);
}
