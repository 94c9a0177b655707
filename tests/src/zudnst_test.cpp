#include "zudnst.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::string Bytes(const void *p, size_t n) { return std::string(static_cast<const char *>(p), n); }

TEST(ByteOrder, WireBytesAreLittleEndianAndConversionsTheirOwnInverse) {
  EXPECT_EQ(iIsIntel(), 1);
  EXPECT_EQ(iIsEbcdic(), 0);
  uint16_t u16 = iCnvU16(0x1234);
  EXPECT_EQ(Bytes(&u16, 2), std::string("\x34\x12", 2));
  uint32_t u32 = iCnvU32(0x12345678u);
  EXPECT_EQ(Bytes(&u32, 4), std::string("\x78\x56\x34\x12", 4));
  uint64_t u64 = iCnvU64(0x0102030405060708ull);
  EXPECT_EQ(Bytes(&u64, 8), std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8));
  EXPECT_EQ(iCnvI16(iCnvI16(-2)), -2);
  EXPECT_EQ(iCnvI32(iCnvI32(-123456)), -123456);
  EXPECT_EQ(iCnvI64(iCnvI64(-5)), -5);
  EXPECT_EQ(CnvInt4(CnvInt4(77)), 77);
  EXPECT_EQ(CnvInt2(CnvInt2(-7)), -7);
  EXPECT_EQ(CNV_Int4(0x01020304), 0x01020304);
  EXPECT_EQ(CNV_Int2(0x0102), 0x0102);
  long l = 0x0102030405060708L;
  EXPECT_EQ(_CnvInt64(&l), &l);
  EXPECT_EQ(l, 0x0102030405060708L);
  unsigned long ul = 42;
  EXPECT_EQ(_CnvUint64(&ul), &ul);
  EXPECT_EQ(ul, 42u);
  CNV_Int(&u64, 8);
  EXPECT_EQ(u64, iCnvU64(0x0102030405060708ull));

  // The stream helpers write the same bytes.
  unsigned char buf[8];
  wq_put_u16(buf, 0x1234);
  EXPECT_EQ(Bytes(buf, 2), std::string("\x34\x12", 2));
  EXPECT_EQ(wq_get_u16(buf), 0x1234);
  wq_put_u32(buf, 0x12345678u);
  EXPECT_EQ(Bytes(buf, 4), std::string("\x78\x56\x34\x12", 4));
  EXPECT_EQ(wq_get_u32(buf), 0x12345678u);
  wq_put_u64(buf, 0x8877665544332211ull);
  EXPECT_EQ(Bytes(buf, 8), std::string("\x11\x22\x33\x44\x55\x66\x77\x88", 8));
  EXPECT_EQ(wq_get_u64(buf), 0x8877665544332211ull);
}

TEST(ByteOrder, BigEndianConversionReversesOnlyWholeSizes) {
  uint32_t one = 1;
  CNV_X(&one, 4);
  EXPECT_EQ(Bytes(&one, 4), std::string("\x00\x00\x00\x01", 4));
  uint16_t s = 0x1234;
  CNV_X(&s, 2);
  EXPECT_EQ(s, 0x3412);
  uint64_t q = 0x0102030405060708ull;
  CNV_X(&q, 8);
  EXPECT_EQ(q, 0x0807060504030201ull);
  unsigned char three[3] = {1, 2, 3};
  CNV_X(three, 3);
  EXPECT_EQ(Bytes(three, 3), std::string("\x01\x02\x03", 3));
}

TEST(StringCopy, CutsTerminatesAndNeverWritesPastTheSize) {
  struct Case {
    const char *src;
    size_t size;
    std::string after;  // the first five bytes of "keepxyz" after the copy
  };
  for (const Case &c : std::vector<Case>{{"abcdef", 4, std::string("abc\0x", 5)},
                                         {"abcd", 4, std::string("abc\0x", 5)},
                                         {"ab", 8, std::string("ab\0px", 5)},
                                         {nullptr, 8, std::string("\0eepx", 5)},
                                         {"", 8, std::string("\0eepx", 5)},
                                         {"ab", 0, "keepx"}}) {
    char buf[8] = "keepxyz";
    EXPECT_EQ(_StringCopy(buf, c.size, c.src, __FILE__, __LINE__), buf);
    EXPECT_EQ(Bytes(buf, 5), c.after) << (c.src ? c.src : "null") << " " << c.size;
  }
  EXPECT_EQ(_StringCopy(nullptr, 8, "ab", __FILE__, __LINE__), nullptr);

  for (auto [start, add, size, result] : std::vector<std::tuple<const char *, const char *, size_t, const char *>>{
           {"abcde", "xyz", 8, "abcdexy"}, {"ab", "cd", 8, "abcd"}, {"ab", nullptr, 8, "ab"},
           {"ab", "zz", 0, "ab"}, {"abc", "d", 4, "abc"}}) {
    char buf[8] = {};
    strcpy(buf, start);
    EXPECT_EQ(_StringCat(buf, size, add, __FILE__, __LINE__), buf);
    EXPECT_STREQ(buf, result) << start << " + " << (add ? add : "null");
  }
  EXPECT_EQ(_StringCat(nullptr, 8, "x", __FILE__, __LINE__), nullptr);
}

TEST(StringTrim, BlanksOnlyAndNeverBeforeTheFieldStart) {
  char out[16];
  for (auto [in, len, size, result] : std::vector<std::tuple<const char *, int, int, const char *>>{
           {"AB      ", 8, 5, "AB"}, {"AB      ", 8, 1, ""}, {"A B  ", 5, 16, "A B"}, {"AB\t ", 4, 16, "AB\t"}}) {
    GetStringTh(in, len, out, size);
    EXPECT_STREQ(out, result) << in << " " << size;  // a tab is not white space
  }
  char all[] = "    ";
  EatTrailing(all, 4);
  EXPECT_EQ(Bytes(all, 5), std::string(5, '\0'));
  char guarded[] = "   ";
  EatTrailing(guarded + 1, 2);  // field of the last two blanks only
  EXPECT_EQ(Bytes(guarded, 3), std::string(" \0\0", 3));
  char zero[] = "a ";
  EatTrailing(zero, 0);
  EXPECT_STREQ(zero, "a ");
  char s[] = "ab \t ";
  EatTrailingStr(s);
  EXPECT_STREQ(s, "ab \t");
  char empty[] = "";
  EatTrailingStr(empty);
  EXPECT_STREQ(empty, "");
  char idx[] = "a   ";
  EatString(idx + 3, 1);  // only two bytes may be cleared
  EXPECT_EQ(Bytes(idx, 4), std::string("a \0\0", 4));
}

TEST(StringCase, OnlyAsciiLettersChange) {
  char a[] = "abc-Z9\xE4";
  EXPECT_EQ(strupr(a), a);
  EXPECT_STREQ(a, "ABC-Z9\xE4");
  char b[] = "xY";
  EXPECT_STREQ(ToUpperStr(b), "XY");
  char c[] = "ABC";
  ToLowerCase(c, 2);
  EXPECT_STREQ(c, "abC");
  char d[] = "A\0B";  // exactly tLength bytes, the terminator included when asked
  ToLowerCase(d, 3);
  EXPECT_EQ(Bytes(d, 3), std::string("a\0b", 3));
  char e[] = "MiXeD\xC4";
  EXPECT_STREQ(strlow(e), "mixed\xC4");
  char f[] = "QR";
  EXPECT_STREQ(ToLowerStr(f), "qr");
}

}  // namespace
