#include "zudnst.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/data.h"
#include "wq_headm.h"

namespace {

std::string Bytes(const void *p, size_t n) { return std::string(static_cast<const char *>(p), n); }

TEST(ByteOrder, WireBytesLeastSignificantFirstBigEndianOnRequest) {
  ASSERT_EQ(iIsIntel(), 1);  // the host values below are laid out little-endian
  EXPECT_EQ(iIsEbcdic(), 0);
  struct Row { uint64_t v; short size; const char *wire; };
  for (const Row &r : {Row{0x1234, 2, "3412"}, Row{0x12345678, 4, "78563412"},
                       Row{0x8877665544332211, 8, "1122334455667788"}}) {
    SCOPED_TRACE(r.wire);
    const uint64_t conv = r.size == 2 ? iCnvU16((uint16_t)r.v) : r.size == 4 ? iCnvU32((uint32_t)r.v) : iCnvU64(r.v);
    EXPECT_EQ(Bytes(&conv, r.size), wqtest::Unhex(r.wire));
    unsigned char buf[8];
    r.size == 2 ? wq_put_u16(buf, (uint16_t)r.v) : r.size == 4 ? wq_put_u32(buf, (uint32_t)r.v) : wq_put_u64(buf, r.v);
    EXPECT_EQ(Bytes(buf, r.size), wqtest::Unhex(r.wire));
    EXPECT_EQ(r.size == 2 ? wq_get_u16(buf) : r.size == 4 ? wq_get_u32(buf) : wq_get_u64(buf), r.v);
    uint64_t big = r.v;
    CNV_X(&big, r.size);
    std::string reversed = wqtest::Unhex(r.wire);
    EXPECT_EQ(Bytes(&big, r.size), std::string(reversed.rbegin(), reversed.rend()));
  }
  unsigned char three[3] = {1, 2, 3};
  CNV_X(three, 3);  // not a whole size: unchanged
  EXPECT_EQ(Bytes(three, 3), "\x01\x02\x03");
}

TEST(MessageHead, TypeVersionClientAndUser) {
  WQ_HEADM head;
  memset(&head, 0xEE, sizeof head);
  CreateWqHeadm(&head, "AB", 0x12345, 7);  // a short type is padded with NULs
  EXPECT_EQ(Bytes(&head, 16), wqtest::Unhex("4142,00*6,3033,4523,07000000"));
}

TEST(StringCopy, CutsTerminatesAndNeverWritesPastTheSize) {
  struct Row { const char *src; size_t size; std::string after; };  // after: 5 bytes of "keepxyz"
  for (const Row &r : {Row{"abcdef", 4, std::string("abc\0x", 5)}, Row{"abcd", 4, std::string("abc\0x", 5)},
                       Row{"ab", 8, std::string("ab\0px", 5)}, Row{nullptr, 8, std::string("\0eepx", 5)},
                       Row{"", 8, std::string("\0eepx", 5)}, Row{"ab", 0, "keepx"}}) {
    char buf[8] = "keepxyz";
    EXPECT_EQ(_StringCopy(buf, r.size, r.src, __FILE__, __LINE__), buf);
    EXPECT_EQ(Bytes(buf, 5), r.after) << (r.src ? r.src : "null") << " " << r.size;
  }
  EXPECT_EQ(_StringCopy(nullptr, 8, "ab", __FILE__, __LINE__), nullptr);

  struct Cat { const char *start, *add; int size; const char *result; };
  for (const Cat &c : {Cat{"abcde", "xyz", 8, "abcdexy"}, Cat{"ab", "cd", 8, "abcd"}, Cat{"ab", nullptr, 8, "ab"},
                       Cat{"ab", "zz", 0, "ab"}, Cat{"abc", "d", 4, "abc"}}) {
    char buf[8] = {};
    strcpy(buf, c.start);
    EXPECT_EQ(_StringCat(buf, c.size, c.add, __FILE__, __LINE__), buf);
    EXPECT_STREQ(buf, c.result) << c.start << " + " << (c.add ? c.add : "null");
  }
}

// Each row: the function, its input, the offset and length it is given, and
// all bytes of the area afterwards (one byte behind the field included).
TEST(StringTrimAndCase, OnlyBlanksAndAsciiLettersWithinTheField) {
  struct Row { const char *what; std::string in; int at, len; std::string out; };
  const Row rows[] = {
      {"trail", "ab \t  x", 0, 6, std::string("ab \t\0\0x", 7)},  // a tab is not a blank
      {"trail", "   x", 1, 2, std::string(" \0\0x", 4)},           // nothing before the field
      {"trail", "a x", 0, 0, "a x"},
      {"eat", "a   x", 3, 1, std::string("a \0\0x", 5)},  // index 1: two bytes at most
      {"string", "ab \t ", 0, -1, "ab \t"},
      {"upper", "abc-Z9\xE4", 0, -1, "ABC-Z9\xE4"},
      {"lower", std::string("A\0BC", 4), 0, 3, std::string("a\0bC", 4)},  // the length, NUL included
      {"strlow", "MiXeD\xC4", 0, -1, "mixed\xC4"}};
  for (const Row &r : rows) {
    std::string s = r.in;
    char *p = s.data() + r.at;
    const std::string what = r.what;
    if (what == "trail") EatTrailing(p, r.len);
    if (what == "eat") EatString(p, r.len);
    if (what == "string") EatTrailingStr(p), s.resize(strlen(p));
    if (what == "upper") { EXPECT_EQ(strupr(p), p); }
    if (what == "lower") ToLowerCase(p, r.len);
    if (what == "strlow") { EXPECT_EQ(strlow(p), p); }
    EXPECT_EQ(s, r.out) << what << " '" << r.in << "'";
  }
  char out[16];
  struct Th { const char *in; int len, size; const char *result; };
  for (const Th &t : {Th{"AB      ", 8, 5, "AB"}, Th{"AB      ", 8, 1, ""}, Th{"A B  ", 5, 16, "A B"}}) {
    EXPECT_EQ(GetStringTh(t.in, t.len, out, t.size), out);
    EXPECT_STREQ(out, t.result) << t.in << " " << t.size;
  }
}

}  // namespace
