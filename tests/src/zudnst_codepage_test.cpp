#include "zudnst_codepage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {
unsigned char ebcdic(unsigned char ascii) {
  char c = (char)ascii;
  ToEbcdic(&c, 1);
  return (unsigned char)c;
}
unsigned char ascii(unsigned char code) {
  char c = (char)code;
  ToAscii(&c, 1);
  return (unsigned char)c;
}
}  // namespace

TEST(ToEbcdicToAscii, LettersDigitsAndRoundTrip) {
  char text[] = "A1";
  ToEbcdic(text, 2);
  EXPECT_EQ((unsigned char)text[0], 0xC1);
  EXPECT_EQ((unsigned char)text[1], 0xF1);
  ToAscii(text, 2);
  EXPECT_STREQ(text, "A1");

  // Every 7-bit value except DC3 (whose EBCDIC code reads back as 0x12)
  // survives the round trip.
  for (int a = 0; a < 0x7F; ++a) {
    if (a == 0x13) continue;
    EXPECT_EQ(ascii(ebcdic((unsigned char)a)), a) << "ascii " << a;
  }
  EXPECT_EQ(ebcdic(0x13), 0x13);
  EXPECT_EQ(ascii(0x13), 0x12);
  EXPECT_EQ(ascii(0x12), 0x12);
}

TEST(ToEbcdicToAscii, GermanExceptionsAndHighValues) {
  const struct { unsigned char a, e; } german[] = {
      {0x5B, 0xBB}, {0x5C, 0xBC}, {0x5D, 0xBD}, {0x5E, 0x6A},
      {0x60, 0x4A}, {0x7B, 0xFB}, {0x7D, 0xFD}, {0x7E, 0xFF},
      {0xC4, 0xBB}, {0xD6, 0xBC}, {0xDC, 0xBD},
  };
  for (const auto &g : german) EXPECT_EQ(ebcdic(g.a), g.e) << "ascii " << (int)g.a;
  EXPECT_EQ(ebcdic(0xE9), 0x07);
  EXPECT_EQ(ebcdic(0x7F), 0x07);
  int high_with_code = 0;
  for (int a = 0x80; a < 0x100; ++a)
    if (ebcdic((unsigned char)a) != 0x07) ++high_with_code;
  EXPECT_EQ(high_with_code, 3);

  EXPECT_EQ(ascii(0x4A), 0x60);
  EXPECT_EQ(ascii(0x6A), 0x5E);
  EXPECT_EQ(ascii(0xBB), 0x5B);  // "[" wins over the umlaut of the same code
  EXPECT_EQ(ascii(0x41), 0xFE);
  EXPECT_EQ(ascii(0xBA), 0xFE);  // code page 037's own "[" is not produced
  EXPECT_EQ(ascii(0x07), 0x07);
}

TEST(ToEbcdicToAscii, ConvertsExactlyTheLengthIncludingNul) {
  char text[] = {'a', '\0', 'b', 'c'};
  ToEbcdic(text, 3);
  EXPECT_EQ((unsigned char)text[0], 0x81);
  EXPECT_EQ(text[1], '\0');
  EXPECT_EQ((unsigned char)text[2], 0x82);
  EXPECT_EQ(text[3], 'c');
  ToEbcdic(text, 0);
  ToEbcdic(text, -4);
  ToAscii(nullptr, 4);
  EXPECT_EQ((unsigned char)text[0], 0x81);
}

TEST(SetCodeTab, ValidEntriesAndSubstitution) {
  unsigned char desc[512];
  unsigned char tab[256];
  for (int i = 0; i < 256; ++i) desc[i] = (unsigned char)(255 - i);
  memset(desc + 256, 0, 256);
  SetCodeTab(tab, desc);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(tab[i], 0x20) << i;

  desc[256 + 5] = 2;
  desc[256 + 9] = 2 | 1;
  desc[256 + 'A'] = 1;
  SetCodeTab(tab, desc);
  EXPECT_EQ(tab[5], 250);  // substitution character, value 5 itself invalid
  EXPECT_EQ(tab[9], 246);  // valid: its own target
  EXPECT_EQ(tab['A'], 255 - 'A');
  EXPECT_EQ(tab[0], 250);
  EXPECT_EQ(tab[255], 250);
}

TEST(AreaConv, ThroughTableInPlaceAndSeparately) {
  unsigned char tab[256];
  for (int i = 0; i < 256; ++i) tab[i] = (unsigned char)(i + 1);
  unsigned char in[4] = {0, 1, 0xFF, 7};
  unsigned char out[4] = {9, 9, 9, 9};
  EXPECT_EQ(AreaConv(out, in, 0, tab), 0);
  EXPECT_EQ(AreaConv(out, in, -3, tab), 0);
  EXPECT_EQ(out[0], 9);
  EXPECT_EQ(AreaConv(out, in, 3, tab), 3);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[1], 2);
  EXPECT_EQ(out[2], 0);
  EXPECT_EQ(out[3], 9);
  EXPECT_EQ(AreaConv(in, in, 4, tab), 4);
  EXPECT_EQ(in[3], 8);
}
