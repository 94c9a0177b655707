#include "zudnst_codepage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

int Conv(void (*f)(char *, int), int c) {
  char ch = (char)c;
  f(&ch, 1);
  return (unsigned char)ch;
}

// Every ASCII code but 0x13 goes there and back; three of the others have a
// code; a call converts exactly the length given.
TEST(CodePage, RoundTripsAndLengths) {
  int high_with_code = 0;
  for (int a = 0; a < 0x100; ++a) {
    if (a < 0x7F && a != 0x13) EXPECT_EQ(Conv(ToAscii, Conv(ToEbcdic, a)), a) << std::hex << a;
    high_with_code += a >= 0x80 && Conv(ToEbcdic, a) != 0x07;
  }
  EXPECT_EQ(high_with_code, 3);
  char text[] = {'a', '\0', 'b', 'c'};
  ToEbcdic(text, 3);
  ToEbcdic(text, 0);
  ToEbcdic(text, -4);
  ToAscii(nullptr, 4);
  EXPECT_EQ(std::string(text, 4), std::string("\x81\0\x82" "c", 4));
}

TEST(CodePage, OwnTablesWithSubstitution) {
  unsigned char desc[512] = {}, tab[256];
  for (int i = 0; i < 256; ++i) desc[i] = (unsigned char)(255 - i);
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
  // The second call in place.
  EXPECT_EQ(std::vector<int>({AreaConv(out, in, 3, tab), AreaConv(in, in, 4, tab)}), std::vector<int>({3, 4}));
  EXPECT_EQ(std::vector<int>(out, out + 4), std::vector<int>({1, 2, 0, 9}));
  EXPECT_EQ(in[3], 8);
}

}  // namespace
