#include "zudnst_codepage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

int Conv(void (*f)(char *, int), int c) {
  char ch = (char)c;
  f(&ch, 1);
  return (unsigned char)ch;
}

TEST(CodePage, TableRowsAndRoundTrips) {
  struct Row { int ascii, ebcdic, back; };  // ToEbcdic(ascii), then ToAscii of that
  const Row rows[] = {
      {'A', 0xC1, 'A'},   {'1', 0xF1, '1'},   {'a', 0x81, 'a'},   {'[', 0xBB, '['},  // "[" wins over the umlaut
      {'\\', 0xBC, '\\'}, {']', 0xBD, ']'},   {'^', 0x6A, '^'},   {'`', 0x4A, '`'},   {'{', 0xFB, '{'},
      {'}', 0xFD, '}'},   {'~', 0xFF, '~'},   {0xC4, 0xBB, '['},  {0xD6, 0xBC, '\\'}, {0xDC, 0xBD, ']'},
      {0xE9, 0x07, 0x07}, {0x7F, 0x07, 0x07}, {0x13, 0x13, 0x12}, {0x12, 0x12, 0x12}};
  for (const Row &r : rows) {
    EXPECT_EQ(Conv(ToEbcdic, r.ascii), r.ebcdic) << std::hex << r.ascii;
    EXPECT_EQ(Conv(ToAscii, r.ebcdic), r.back) << std::hex << r.ebcdic;
  }
  EXPECT_EQ(Conv(ToAscii, 0x41), 0xFE);  // no counterpart
  EXPECT_EQ(Conv(ToAscii, 0xBA), 0xFE);  // code page 037's own "[" is not produced
  for (int a = 0; a < 0x7F; ++a)
    if (a != 0x13) { EXPECT_EQ(Conv(ToAscii, Conv(ToEbcdic, a)), a) << std::hex << a; }
  int high_with_code = 0;
  for (int a = 0x80; a < 0x100; ++a) high_with_code += Conv(ToEbcdic, a) != 0x07;
  EXPECT_EQ(high_with_code, 3);

  char text[] = {'a', '\0', 'b', 'c'};  // exactly the length, a NUL included
  ToEbcdic(text, 3);
  ToEbcdic(text, 0);
  ToEbcdic(text, -4);
  ToAscii(nullptr, 4);
  EXPECT_EQ(std::string(text, 4), std::string("\x81\0\x82" "c", 4));
}

TEST(CodePage, OwnTablesWithSubstitution) {
  unsigned char desc[512], tab[256];
  for (int i = 0; i < 256; ++i) desc[i] = (unsigned char)(255 - i);
  memset(desc + 256, 0, 256);
  SetCodeTab(tab, desc);
  EXPECT_EQ(std::string((char *)tab, 256), std::string(256, ' '));  // nothing valid, no substitute given
  desc[256 + 5] = 2;      // value 5's target is the substitute, 5 itself invalid
  desc[256 + 9] = 2 | 1;  // a later substitute mark does not count; 9 is valid
  desc[256 + 'A'] = 1;
  SetCodeTab(tab, desc);
  EXPECT_EQ(std::vector<int>({tab[0], tab[5], tab[9], tab['A'], tab[255]}),
            std::vector<int>({250, 250, 246, 255 - 'A', 250}));

  for (int i = 0; i < 256; ++i) tab[i] = (unsigned char)(i + 1);
  unsigned char in[4] = {0, 1, 0xFF, 7}, out[4] = {9, 9, 9, 9};
  EXPECT_EQ(AreaConv(out, in, 0, tab) + AreaConv(out, in, -3, tab) + AreaConv(nullptr, in, 3, tab), 0);
  EXPECT_EQ(AreaConv(out, in, 3, tab), 3);
  EXPECT_EQ(std::vector<int>(out, out + 4), std::vector<int>({1, 2, 0, 9}));
  EXPECT_EQ(AreaConv(in, in, 4, tab), 4);  // in place
  EXPECT_EQ(in[3], 8);
}

}  // namespace
