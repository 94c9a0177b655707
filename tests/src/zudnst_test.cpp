#include "zudnst.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::string Bytes(const void *p, size_t n) { return std::string(static_cast<const char *>(p), n); }

TEST(ByteOrder, HostTestsOnThisHost) {
  EXPECT_EQ(iIsIntel(), 1);
  EXPECT_EQ(iIsEbcdic(), 0);
}

TEST(ByteOrder, WireBytesAreLittleEndian) {
  uint16_t u16 = iCnvU16(0x1234);
  EXPECT_EQ(u16, 0x1234);
  EXPECT_EQ(Bytes(&u16, 2), std::string("\x34\x12", 2));
  uint32_t u32 = iCnvU32(0x12345678u);
  EXPECT_EQ(Bytes(&u32, 4), std::string("\x78\x56\x34\x12", 4));
  uint64_t u64 = iCnvU64(0x0102030405060708ull);
  EXPECT_EQ(Bytes(&u64, 8), std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8));
}

TEST(ByteOrder, EveryConversionIsItsOwnInverse) {
  EXPECT_EQ(iCnvU16(iCnvU16(0xBEEF)), 0xBEEF);
  EXPECT_EQ(iCnvI16(iCnvI16(-2)), -2);
  EXPECT_EQ(iCnvU32(iCnvU32(0xDEADBEEFu)), 0xDEADBEEFu);
  EXPECT_EQ(iCnvI32(iCnvI32(-123456)), -123456);
  EXPECT_EQ(iCnvU64(iCnvU64(0xFEDCBA9876543210ull)), 0xFEDCBA9876543210ull);
  EXPECT_EQ(iCnvI64(iCnvI64(-5)), -5);
  EXPECT_EQ(CnvInt4(CnvInt4(77)), 77);
  EXPECT_EQ(CnvInt2(CnvInt2(-7)), -7);
  EXPECT_EQ(CNV_Int4(0x01020304), 0x01020304);
  EXPECT_EQ(CNV_Int2(0x0102), 0x0102);
}

TEST(ByteOrder, InPlaceConversions) {
  long l = 0x0102030405060708L;
  EXPECT_EQ(_CnvInt64(&l), &l);
  EXPECT_EQ(l, 0x0102030405060708L);
  unsigned long ul = 42;
  EXPECT_EQ(_CnvUint64(&ul), &ul);
  EXPECT_EQ(ul, 42u);
  uint64_t v8 = 0x0102030405060708ull;
  CNV_Int(&v8, 8);
  EXPECT_EQ(v8, 0x0102030405060708ull);
}

TEST(ByteOrder, BigEndianConversionReversesOnlyWholeSizes) {
  uint32_t one = 1;
  CNV_X(&one, 4);
  EXPECT_EQ(Bytes(&one, 4), std::string("\x00\x00\x00\x01", 4));
  CNV_X(&one, 4);
  EXPECT_EQ(one, 1u);
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

TEST(ByteOrder, StreamHelpersMatchConversions) {
  unsigned char buf[8];
  wq_put_u16(buf, 0x1234);
  EXPECT_EQ(Bytes(buf, 2), std::string("\x34\x12", 2));
  EXPECT_EQ(wq_get_u16(buf), 0x1234);
  wq_put_u32(buf, 0x12345678u);
  uint32_t via_cnv = iCnvU32(0x12345678u);
  EXPECT_EQ(memcmp(buf, &via_cnv, 4), 0);
  EXPECT_EQ(wq_get_u32(buf), 0x12345678u);
  wq_put_u64(buf, 0x8877665544332211ull);
  EXPECT_EQ(buf[0], 0x11);
  EXPECT_EQ(buf[7], 0x88);
  EXPECT_EQ(wq_get_u64(buf), 0x8877665544332211ull);
}

TEST(StringCopy, CutsAndAlwaysTerminates) {
  char buf[8];
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(_StringCopy(buf, 4, "abcdef", __FILE__, __LINE__), buf);
  EXPECT_EQ(Bytes(buf, 5), std::string("abc\0x", 5));
  // Exactly RcvSize characters: still cut to RcvSize-1.
  _StringCopy(buf, 4, "abcd", __FILE__, __LINE__);
  EXPECT_STREQ(buf, "abc");
  // Shorter: copied whole, bytes behind the terminator untouched.
  memset(buf, 'x', sizeof buf);
  _StringCopy(buf, 8, "ab", __FILE__, __LINE__);
  EXPECT_EQ(Bytes(buf, 4), std::string("ab\0x", 4));
}

TEST(StringCopy, NullAndEmptyInputs) {
  char buf[8] = "keep";
  _StringCopy(buf, 8, nullptr, __FILE__, __LINE__);
  EXPECT_STREQ(buf, "");
  strcpy(buf, "keep");
  _StringCopy(buf, 8, "", __FILE__, __LINE__);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(_StringCopy(nullptr, 8, "ab", __FILE__, __LINE__), nullptr);
  // Size 0: the area has no room, not even for a terminator; nothing written.
  strcpy(buf, "keep");
  EXPECT_EQ(_StringCopy(buf, 0, "ab", __FILE__, __LINE__), buf);
  EXPECT_STREQ(buf, "keep");
}

TEST(StringCat, BoundedAppend) {
  char buf[8] = "abcde";
  EXPECT_EQ(_StringCat(buf, 8, "xyz", __FILE__, __LINE__), buf);
  EXPECT_STREQ(buf, "abcdexy");
  char small[8] = "ab";
  _StringCat(small, 8, "cd", __FILE__, __LINE__);
  EXPECT_STREQ(small, "abcd");
  _StringCat(small, 8, nullptr, __FILE__, __LINE__);
  _StringCat(small, 8, "", __FILE__, __LINE__);
  _StringCat(small, 0, "zz", __FILE__, __LINE__);
  EXPECT_STREQ(small, "abcd");
  EXPECT_EQ(_StringCat(nullptr, 8, "x", __FILE__, __LINE__), nullptr);
  // A full area takes nothing more.
  char full[4] = "abc";
  _StringCat(full, 4, "d", __FILE__, __LINE__);
  EXPECT_STREQ(full, "abc");
}

TEST(StringTrim, GetStringThCopiesBytesAndTrims) {
  char out[16];
  GetStringTh("AB      ", 8, out, 5);
  EXPECT_STREQ(out, "AB");
  GetStringTh("AB      ", 8, out, 1);
  EXPECT_STREQ(out, "");
  GetStringTh("A B  ", 5, out, 16);
  EXPECT_STREQ(out, "A B");
  // A tab is not white space.
  GetStringTh("AB\t ", 4, out, 16);
  EXPECT_STREQ(out, "AB\t");
}

TEST(StringTrim, EatTrailingStopsAtFieldStartAndNonBlanks) {
  char all[] = "    ";
  EatTrailing(all, 4);
  EXPECT_EQ(Bytes(all, 5), std::string(5, '\0'));
  char guarded[] = "   ";
  EatTrailing(guarded + 1, 2);  // field of the last two blanks only
  EXPECT_EQ(Bytes(guarded, 3), std::string(" \0\0", 3));
  char zero[] = "a ";
  EatTrailing(zero, 0);
  EXPECT_STREQ(zero, "a ");
  char s[] = "ab  ";
  EatTrailingStr(s);
  EXPECT_STREQ(s, "ab");
  char tab[] = "ab\t";
  EatTrailingStr(tab);
  EXPECT_STREQ(tab, "ab\t");
  char empty[] = "";
  EatTrailingStr(empty);
  EXPECT_STREQ(empty, "");
  char idx[] = "a   ";
  EatString(idx + 3, 1);  // only two bytes may be cleared
  EXPECT_EQ(Bytes(idx, 4), std::string("a \0\0", 4));
}

TEST(StringCase, UpperAndLower) {
  char a[] = "abc-Z9";
  EXPECT_EQ(strupr(a), a);
  EXPECT_STREQ(a, "ABC-Z9");
  char b[] = "xY";
  EXPECT_STREQ(ToUpperStr(b), "XY");
  char c[] = "ABC";
  ToLowerCase(c, 2);
  EXPECT_STREQ(c, "abC");
  // Exactly tLength bytes, the terminator included when asked.
  char d[] = "A\0B";
  ToLowerCase(d, 3);
  EXPECT_EQ(Bytes(d, 3), std::string("a\0b", 3));
  char e[] = "MiXeD";
  EXPECT_STREQ(strlow(e), "mixed");
  char f[] = "QR";
  EXPECT_STREQ(ToLowerStr(f), "qr");
  // Only ASCII letters change.
  char g[] = "\xC4\xE4";
  strupr(g);
  EXPECT_EQ(Bytes(g, 2), std::string("\xC4\xE4", 2));
}

}  // namespace
