#include "ctools.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

TEST(TextTools, StripCaseReplaceAndFields) {
  for (auto [in, both, right, left] : std::vector<std::tuple<const char *, const char *, const char *, const char *>>{
           {"  a b  ", "a b", "  a b", "a b  "}, {"    ", "", "", ""}, {"", "", "", ""}, {"\tx\t", "\tx\t", "\tx\t", "\tx\t"}}) {
    char s[16], r[16], l[16];
    strcpy(s, in);
    strcpy(r, in);
    strcpy(l, in);
    strip(s);
    rstrip(r);
    lstrip(l);
    EXPECT_EQ(std::string(s) + "|" + r + "|" + l, std::string(both) + "|" + right + "|" + left) << in;
  }
  rstrip(nullptr);
  lstrip(nullptr);
  strip(nullptr);

  char out[8];
  memset(out, 'x', sizeof out);
  EXPECT_EQ(get_variable_msg_field(out, "0123456789", 2, 3), 0);
  EXPECT_STREQ(out, "234");
  char up[] = "a-b.c";
  EXPECT_EQ(strupper(up), up);
  EXPECT_STREQ(up, "A-B.C");
  char part[] = "abcdef";
  ToUpperCase(part, 3);
  EXPECT_STREQ(part, "ABCdef");
  char rep[] = "[fe80::1]";
  str_replace_char(rep, '[', ' ');
  EXPECT_STREQ(str_replace_char(rep, ']', ' '), " fe80::1 ");
  char nul[] = "ab";
  EXPECT_STREQ(str_replace_char(nul, '\0', 'z'), "ab");

  char a[] = "/usr/bin/wq_jpmd", b[] = "wq_jpmd", c[] = "dir/";
  EXPECT_EQ(GetPName(a), a + 9);
  EXPECT_EQ(GetPName(b), b);
  EXPECT_STREQ(GetPName(c), "");

  // t + 10 == now (or a second later, if the clock ticks) is not yet elapsed.
  time_t now = time(nullptr);
  EXPECT_EQ(is_timer_elapsed(now - 10 + 2, 10), 0);
  EXPECT_EQ(is_timer_elapsed(now - 11, 10), 1);
  EXPECT_EQ(is_timer_elapsed(now + 100, 10), 0);
}

TEST(FdSetText, MembersInAscendingOrderCutToWholeNumbers) {
  char work[1024];
  fd_set set;
  FD_ZERO(&set);
  memset(work, 'x', sizeof work);
  EXPECT_EQ(fdset2string(work, &set, 10), work);
  EXPECT_STREQ(work, "");
  for (int fd : {0, 7, 3, 5, 12}) FD_SET(fd, &set);
  EXPECT_STREQ(fdset2string(work, &set, 7), "0,3,5,7");
  EXPECT_STREQ(fdset2string(work, &set, 12), "0,3,5,7,12");
  FD_ZERO(&set);
  for (int fd = 100; fd < 200; ++fd) FD_SET(fd, &set);
  char small[12];
  memset(small, 'x', sizeof small);
  fdset2string(small, &set, 199, sizeof small);
  EXPECT_STREQ(small, "100,101");  // "100,101,102," would fill all 12 bytes
}

TEST(WordDelimited, WordsRestAndBound) {
  struct Case {
    const char *text;
    int word;  // negative: the rest from word -word on
    size_t size;
    int result;
    const char *dst;
  };
  const std::vector<Case> cases = {
      {"KEY=a=b", 1, 16, 3, "KEY"}, {"KEY=a=b", -2, 16, 3, "a=b"}, {"KEY=a=b", 2, 16, 1, "a"},
      {"KEY=a=b", 3, 16, 1, "b"},   {"KEY=a=b", 4, 16, 0, ""},     // fewer words than asked
      {"plain", 1, 16, 5, "plain"}, {"plain", -2, 16, 0, ""},      // no delimiter
      {"=x", 1, 16, 0, ""},         {"a==c", 3, 16, 1, "c"},       {"KEY=", -2, 16, 0, ""},
      // Longer than the area: dst_len-1 characters kept, dst_len counted.
      {"ABCDEFGHIJ=v", 1, 8, 8, "ABCDEFG"}, {"ABCDEFGH", 1, 8, 8, "ABCDEFG"}, {"ABCDEFG", 1, 8, 7, "ABCDEFG"},
      {"K=0123456789", -2, 8, 7, "0123456"}};
  for (const Case &c : cases) {
    char dst[24];
    memset(dst, 'x', sizeof dst);
    EXPECT_EQ(get_word_delimited(c.text, '=', c.word, dst, c.size), c.result) << c.text << " " << c.word;
    EXPECT_STREQ(dst, c.dst) << c.text << " " << c.word;
    EXPECT_EQ(dst[c.size], 'x');
  }
}

}  // namespace
