#include "zudnst_match.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

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

TEST(Match, WholeTextAgreesWithTheDefinition) {
  struct Row { const char *str, *mask; char more, one; int expected; };
  const Row rows[] = {{"mississippi", "m*iss*ppi", '*', '?', 1}, {"mississippi", "m*x*", '*', '?', 0},
                      {"file.txt.bak", "*.txt", '*', '?', 0},    {"FILE.TXT", "*.txt", '*', '?', 0},
                      {"a?c", "a?c", '*', 0, 1},                 {"abc", "a?c", '*', 0, 0},
                      {"xyz", "_y%", '%', '_', 1},               {"xyz", "*", '%', '_', 0},
                      {nullptr, "*", '*', '?', 0},               {"a", nullptr, '*', '?', 0}};
  for (const Row &r : rows)
    EXPECT_EQ(MyStrMatch(r.str, r.mask, r.more, r.one), r.expected) << (r.str ? r.str : "-") << " / "
                                                                     << (r.mask ? r.mask : "-");
  std::mt19937 rng(20261206);
  int matches = 0;
  for (int round = 0; round < 4000; ++round) {
    const std::string s = Random(rng, "abc", 8), m = Random(rng, "abc*?", 6);
    const char more = round % 3 == 1 ? 0 : '*', one = round % 3 == 2 ? 0 : '?';  // some switched off
    const int expected = Ref(s.c_str(), m.c_str(), more, one);
    matches += expected;
    ASSERT_EQ(MyStrMatch(s.c_str(), m.c_str(), more, one), expected)
        << "'" << s << "' / '" << m << "' more " << (int)more << " one " << (int)one;
  }
  EXPECT_TRUE(matches > 200 && matches < 3800) << matches;  // both outcomes well represented
}

TEST(Match, WhereTheMaskMatches) {
  char text[] = "abcdef";
  struct Row { const char *mask; char one; int pos; };  // pos -1: null
  const Row rows[] = {{"abc", '?', 0},  {"abd", '?', -1},    {"", '?', 0},     {"ab?", '?', -1}, {"*cd*", '?', 2},
                      {"*ef", '?', 4},  {"*e", '?', -1},     {"a*e", '?', -1}, {"*c?e*", '?', 2}, {"*?f", '?', 4},
                      {"**ef", '?', 0}, {"abcdefg", '?', -1}, {"abc", 0, -1},  // a wildcard given as 0 counts
                      {"abcdef", 0, 0}};
  for (const Row &r : rows) {
    char mask[32];
    strcpy(mask, r.mask);
    char *at = strMatchPtr(text, mask, '*', r.one);
    EXPECT_EQ(at ? (int)(at - text) : -1, r.pos) << r.mask;
    EXPECT_STREQ(mask, r.mask);
  }
  char twice[] = "cdxcd";
  EXPECT_EQ(strMatchPtr(twice, "*cd", '*', '?'), twice + 3);  // the match that ends the text
  EXPECT_EQ(strMatchPtr(nullptr, "a", '*', '?'), nullptr);
  // Random masks: found exactly when the whole text matches, and the text from
  // the place found matches the mask without its leading '*'.
  std::mt19937 rng(4711);
  for (int round = 0; round < 2000; ++round) {
    std::string s = Random(rng, "ab", 7), m = Random(rng, "ab*?", 4) + "ab*?"[rng() % 4];
    char *at = strMatchPtr(s.data(), m.c_str(), '*', '?');
    const bool plain = m.find_first_of("*?") == std::string::npos;
    ASSERT_EQ(at != nullptr, plain ? s.compare(0, m.size(), m) == 0 : Ref(s.c_str(), m.c_str(), '*', '?'))
        << "'" << s << "' / '" << m << "'";
    const std::string core = m[0] == '*' ? m.substr(1) : m;
    if (at && !plain && !core.empty()) { ASSERT_TRUE(Ref(at, core.c_str(), '*', '?')) << s << " / " << m; }
    if (at && m[0] != '*') { ASSERT_EQ(at, s.data()); }
  }
  struct Prefix { const char *str, *mask; char one; int expected; };
  for (const Prefix &p : {Prefix{"abcd", "a?c", '?', 1}, Prefix{"ab", "abc", '?', 0}, Prefix{"ab", "ab?", '?', 0},
                          Prefix{"a?c", "a?c", 0, 1}, Prefix{"abc", "a?c", 0, 0}, Prefix{"abc", "", '?', 1}})
    EXPECT_EQ(strccmp(p.str, p.mask, p.one), p.expected) << p.str << " / " << p.mask;
  char xx[] = "xxabc";
  for (auto [mask, pos] : std::vector<std::pair<const char *, int>>{{"a?c", 2}, {"?", 0}, {"bc?", -1}, {"", 0}, {"c", 4}}) {
    char *at = strcstr(xx, mask, '?');
    EXPECT_EQ(at ? (int)(at - xx) : -1, pos) << mask;
  }
}

TEST(Fields, FixedLengthWordAndLeadingBlanks) {
  struct Row { void (*f)(char *, int); std::string field, after; };
  const Row rows[] = {{fix_len_reorg, "  ab cdZ", "ab     Z"},
                      {fix_len_reorg, "wordZ", "wordZ"},
                      {fix_len_reorg, "   Z", "   Z"},
                      {fix_len_reorg, std::string(" a\0bcZ", 6), "a    Z"},  // a NUL ends the word
                      {fix_len_reorg2, "  ab cdZ", std::string("ab cd\0dZ", 8)},
                      {fix_len_reorg2, "abcdZ", "abcdZ"},  // no leading blank: no NUL behind a full field
                      {fix_len_reorg2, " abcZ", std::string("abc\0Z", 5)}};
  for (const Row &r : rows) {
    std::string f = r.field;
    r.f(f.data(), (int)f.size() - 1);
    EXPECT_EQ(f, r.after) << r.field;
  }
  fix_len_reorg(nullptr, 4);
}

TEST(Fields, EnvironmentReferencesBounded) {
  setenv("WQ_TEST_HOME", "/h", 1);
  unsetenv("WQ_TEST_UNSET");
  const std::string name(63, 'N');  // names are cut to 63 characters
  setenv(name.c_str(), "v", 1);
  struct Row { std::string in; int size, result; const char *out; };
  const Row rows[] = {{"x%WQ_TEST_HOME%y", 64, 4, "x/hy"},   {"x%WQ_TEST_UNSET%y", 64, 2, "xy"},
                      {"x%WQ_TEST_HOME", 64, 3, "x/h"},      {"a%%b", 64, 2, "ab"},
                      {"%" + name + "XYZ%", 64, 1, "v"},     {"ab%WQ_TEST_HOME%cdef", 5, 4, "ab/h"},
                      {"abc", 1, 0, ""},                     {std::string(3000, 'z'), 4000, 2047, nullptr}};
  for (const Row &r : rows) {
    std::vector<char> out(4001, 'Q');
    EXPECT_EQ(ExpandEnvironmentStringsA(r.in.c_str(), out.data(), r.size), r.result) << r.in.substr(0, 30);
    if (r.out) { EXPECT_STREQ(out.data(), r.out) << r.in; }
    EXPECT_EQ(out[r.size], 'Q');
  }
  char out[4] = "Q";
  EXPECT_EQ(ExpandEnvironmentStringsA("abc", out, 0) + ExpandEnvironmentStringsA(nullptr, out, 4), 0);
}

// Runs `call` on a buffer of 'Q's: its result, the bytes it wrote, and the
// byte behind the `size` it was given, untouched.
template <class Call>
void ExpectBounded(Call call, int size, int result, const std::string &want, const std::string &what) {
  char out[64];
  memset(out, 'Q', sizeof out);
  EXPECT_EQ(call(out), result) << what;
  EXPECT_EQ(std::string(out, want.size()), want) << what;
  EXPECT_EQ(out[size], 'Q') << what;
}

TEST(Fields, KeyedValuesCutToTheBufferAndBoundedByTheLength) {
  const char area[] = "A=/x y/B=#z#";
  const int len = (int)strlen(area);
  const char with_nul[] = {'A', '=', '/', 'a', '\0', 'b', '/'};
  struct Rest { const char *area; int len; char key; int size, result; std::string out; };
  const Rest rests[] = {
      {area, len, 'B', 16, 1, std::string("z\0", 2)},       {area, len, 'A', 16, 1, std::string("x y\0", 4)},
      {area, len, 'D', 16, 0, ""},                          {area, len, 'A', 3, 1, std::string("x \0", 3)},
      {area, len - 1, 'B', 16, 0, ""},                      {area, 5, 'A', 16, 0, ""},  // ends before the delimiter
      {"A:/x/", 5, 'A', 16, 0, ""},                         {"A=/x/B=", 7, 'B', 16, 0, ""},
      {"A=//", 4, 'A', 16, 1, std::string("\0", 1)},        {with_nul, 7, 'A', 16, 1, std::string("a\0b\0", 4)},
      {area, len, 'A', 0, 0, ""}};
  for (const Rest &r : rests)
    ExpectBounded([&](char *out) { return GetRestField(r.area, r.len, r.key, out, r.size); }, r.size, r.result, r.out,
                  std::to_string(r.len).insert(0, 1, r.key));
  const char list[] = "USER=bob,ID=7,EMPTY=,LAST=end";
  struct Attr { const char *list; int len; const char *name; int size, result; std::string out; };
  const Attr attrs[] = {
      {list, 0, "ID", 16, 1, std::string("7\0", 2)},     {list, 0, "LAST", 16, 1, std::string("end\0", 4)},
      {list, 0, "EMPTY", 16, 0, std::string("\0", 1)},   {list, 0, "NONE", 16, 0, ""},
      {"NAME", 0, "NAME", 16, 0, ""},                    {list, 0, "SER", 16, 1, std::string("bob\0", 4)},
      {list, 0, "USER", 3, 1, std::string("bo\0", 3)},   {list, 7, "USER", 16, 1, std::string("bo\0", 3)},
      {list, 4, "USER", 16, 0, ""},                      {list, 0, "ID", 0, 0, ""},
      {nullptr, 4, "USER", 16, 0, ""}};
  char out[4];
  EXPECT_EQ(GetAttribute(list, 0, "ID", nullptr, 16) + GetAttribute(list, 0, nullptr, out, sizeof out), 0);
  for (const Attr &a : attrs)
    ExpectBounded([&](char *out) { return GetAttribute(a.list, a.len, a.name, out, a.size); }, a.size, a.result, a.out,
                  a.name + std::to_string(a.len));
}

TEST(Fields, NumbersAndBytesAsText) {
  const unsigned char bytes[] = {0x41, 0x42, 0x00, 0x7F, 0x31};
  char out[128];
  GetHexString(bytes, 5, out, sizeof out);
  EXPECT_EQ(std::string(out), "'4142007F 31'" + std::string(27, ' ') + ">AB..1<");
  GetHexString(bytes, 0, out, sizeof out);
  EXPECT_EQ(std::string(out), "''" + std::string(38, ' ') + "><");
  ExpectBounded([&](char *o) { return GetHexString(bytes, 5, o, 6) == o ? 1 : 0; }, 6, 1, std::string("'4142\0", 6), "cut");
  ExpectBounded([&](char *o) { return GetHexString(bytes, 0, o, 42) == o ? 1 : 0; }, 42, 1,  // one short of the text
                "''" + std::string(38, ' ') + ">" + '\0', "one short");
  std::vector<unsigned char> many(600, 0xAB);  // the hex part cut within 511 characters, no character view
  std::vector<char> big(1024, 'Q');
  const std::string text = GetHexString(many.data(), (int)many.size(), big.data(), (int)big.size());
  EXPECT_TRUE(text.size() > 500 && text.size() <= 511 && text.find('>') == std::string::npos) << text.size();
  EXPECT_EQ(text.compare(0, 12, "'ABABABAB AB"), 0);

  struct Row { unsigned long v; int size, at; const char *digits; };
  for (const Row &r : {Row{1234, 33, 28, "1234"}, Row{0, 33, 0, "0"}, Row{18446744073709551615UL, 40, 12, "18446744073709551615"},
                       Row{42, 6, 3, "42"}, Row{1234567, 6, 0, ""}}) {
    char field[48];
    memset(field, 'Q', sizeof field);
    EXPECT_EQ(CnvIntToChar(r.v, field, r.size), field + r.at) << r.v;
    EXPECT_EQ(std::string(field, r.at) + (field + r.at), std::string(r.at, ' ') + r.digits);
    EXPECT_EQ(field[r.size], 'Q');
  }
  const unsigned char in[] = {0x00, 0xAF, 0x5C};
  ExpectBounded([&](char *o) { return convert2hex(in, 3, o, 7); }, 0, -1, "", "too small");
  ExpectBounded([&](char *o) { return convert2hex(in, 3, o, 8); }, 8, 0, std::string("00AF5C\0", 7), "fits");
  ExpectBounded([&](char *o) { return convert2hex(in, 0, o, 2); }, 2, 0, std::string("\0", 1), "empty");
  EXPECT_EQ(convert2hex(in, -1, out, 8), -1);
}

}  // namespace
