#include "ctools.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(Strip, BlanksOnlyOnEitherSide) {
  char s[] = "  a b  ";
  strip(s);
  EXPECT_STREQ(s, "a b");
  char blanks[] = "    ";
  strip(blanks);
  EXPECT_STREQ(blanks, "");
  char empty[] = "";
  strip(empty);
  EXPECT_STREQ(empty, "");
  char tab[] = "\tx\t";
  strip(tab);
  EXPECT_STREQ(tab, "\tx\t");
  char r[] = "ab";
  rstrip(r);
  EXPECT_STREQ(r, "ab");
  char l[] = "   lead";
  lstrip(l);
  EXPECT_STREQ(l, "lead");
  rstrip(nullptr);
  lstrip(nullptr);
  strip(nullptr);
}

TEST(FdSetText, MembersInAscendingOrder) {
  char work[1024];
  fd_set set;
  FD_ZERO(&set);
  memset(work, 'x', sizeof work);
  EXPECT_EQ(fdset2string(work, &set, 10), work);
  EXPECT_STREQ(work, "");
  FD_SET(0, &set);
  EXPECT_STREQ(fdset2string(work, &set, 10), "0");
  FD_ZERO(&set);
  FD_SET(7, &set);
  FD_SET(3, &set);
  FD_SET(5, &set);
  FD_SET(12, &set);
  EXPECT_STREQ(fdset2string(work, &set, 7), "3,5,7");
  EXPECT_STREQ(fdset2string(work, &set, 12), "3,5,7,12");
}

TEST(FdSetText, CutToTheBufferWithoutTrailingComma) {
  fd_set set;
  FD_ZERO(&set);
  for (int fd = 100; fd < 200; ++fd) FD_SET(fd, &set);
  char small[12];
  memset(small, 'x', sizeof small);
  fdset2string(small, &set, 199, sizeof small);
  // "100,101,102," fills 12 bytes; only whole numbers fit.
  EXPECT_STREQ(small, "100,101");
}

TEST(TextTools, FieldsCaseAndReplace) {
  char out[8];
  memset(out, 'x', sizeof out);
  EXPECT_EQ(get_variable_msg_field(out, "0123456789", 2, 3), 0);
  EXPECT_STREQ(out, "234");
  char up[] = "a-b.c";
  EXPECT_EQ(strupper(up), up);
  EXPECT_STREQ(up, "A-B.C");
  char rep[] = "[fe80::1]";
  str_replace_char(rep, '[', ' ');
  str_replace_char(rep, ']', ' ');
  strip(rep);
  EXPECT_STREQ(rep, "fe80::1");
  char same[] = "aaa";
  EXPECT_STREQ(str_replace_char(same, 'a', 'a'), "aaa");
  char nul[] = "ab";
  str_replace_char(nul, '\0', 'z');
  EXPECT_STREQ(nul, "ab");
  char part[] = "abcdef";
  ToUpperCase(part, 3);
  EXPECT_STREQ(part, "ABCdef");
}

TEST(TextTools, TimerElapsesStrictlyAfterTheSpan) {
  time_t now = time(nullptr);
  // t + 10 == now (or a second later, if the clock ticks during the test)
  // is not yet elapsed; t + 10 < now is.
  EXPECT_EQ(is_timer_elapsed(now - 10 + 2, 10), 0);
  EXPECT_EQ(is_timer_elapsed(now - 11, 10), 1);
  EXPECT_EQ(is_timer_elapsed(now + 100, 10), 0);
}

TEST(ProgramName, LastPathComponent) {
  char a[] = "/usr/bin/wq_jpmd";
  EXPECT_EQ(GetPName(a), a + 9);
  char b[] = "wq_jpmd";
  EXPECT_EQ(GetPName(b), b);
  char c[] = "dir/";
  EXPECT_STREQ(GetPName(c), "");
}

TEST(WordDelimited, WordsAndRest) {
  char dst[16];
  EXPECT_EQ(get_word_delimited("KEY=a=b", '=', 1, dst, 16), 3);
  EXPECT_STREQ(dst, "KEY");
  EXPECT_EQ(get_word_delimited("KEY=a=b", '=', -2, dst, 16), 3);
  EXPECT_STREQ(dst, "a=b");
  EXPECT_EQ(get_word_delimited("KEY=a=b", '=', 2, dst, 16), 1);
  EXPECT_STREQ(dst, "a");
  EXPECT_EQ(get_word_delimited("KEY=a=b", '=', 3, dst, 16), 1);
  EXPECT_STREQ(dst, "b");
  // Fewer words than asked: empty and 0.
  strcpy(dst, "old");
  EXPECT_EQ(get_word_delimited("KEY=a=b", '=', 4, dst, 16), 0);
  EXPECT_STREQ(dst, "");
  // No delimiter: word 1 is all, the rest from word 2 is empty.
  EXPECT_EQ(get_word_delimited("plain", '=', 1, dst, 16), 5);
  EXPECT_STREQ(dst, "plain");
  EXPECT_EQ(get_word_delimited("plain", '=', -2, dst, 16), 0);
  EXPECT_STREQ(dst, "");
  // Empty words count.
  EXPECT_EQ(get_word_delimited("=x", '=', 1, dst, 16), 0);
  EXPECT_STREQ(dst, "");
  EXPECT_EQ(get_word_delimited("a==c", '=', 3, dst, 16), 1);
  EXPECT_STREQ(dst, "c");
  EXPECT_EQ(get_word_delimited("KEY=", '=', -2, dst, 16), 0);
  EXPECT_STREQ(dst, "");
}

TEST(WordDelimited, CutToTheDestination) {
  char dst[8];
  memset(dst, 'x', sizeof dst);
  // A word longer than the area keeps dst_len-1 characters and counts dst_len.
  EXPECT_EQ(get_word_delimited("ABCDEFGHIJ=v", '=', 1, dst, 8), 8);
  EXPECT_STREQ(dst, "ABCDEFG");
  // Exactly dst_len characters: still no room for the terminator.
  EXPECT_EQ(get_word_delimited("ABCDEFGH", '=', 1, dst, 8), 8);
  EXPECT_STREQ(dst, "ABCDEFG");
  EXPECT_EQ(get_word_delimited("ABCDEFG", '=', 1, dst, 8), 7);
  EXPECT_STREQ(dst, "ABCDEFG");
  // Rest mode is bounded as well.
  EXPECT_EQ(get_word_delimited("K=0123456789", '=', -2, dst, 8), 7);
  EXPECT_STREQ(dst, "0123456");
}

}  // namespace
